// SHA-256 through OpenSSL's EVP interface, on Windows as here: one implementation,
// which uses the processor's SHA instructions where it has them.
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "platform/platform.hpp"

namespace platform {

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.final();
}

struct Sha256::State {
    struct ContextFree {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextFree> context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context.reset(EVP_MD_CTX_new());
    if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 could not be computed");
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
    if (!state_ || !state_->context || EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size()) != 1)
        throw std::runtime_error("SHA-256 could not be computed");
}

std::array<std::uint8_t, 32> Sha256::final() {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    if (!state_ || !state_->context || EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 ||
        length != digest.size())
        throw std::runtime_error("SHA-256 could not be computed");
    state_->context.reset();  // a finished context takes no more data
    return digest;
}

}  // namespace platform
