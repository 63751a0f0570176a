#include "platform/staged_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& p, int err) {
    throw fs::filesystem_error(what, p, std::error_code(err, std::generic_category()));
}

}  // namespace

StagedFile::StagedFile(fs::path target)
    : target_(std::move(target)), temp_(fs::path(target_).replace_extension(".tmp")) {
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("cannot create file", temp_, errno);
}

StagedFile::~StagedFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void StagedFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write file", temp_, errno);
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void StagedFile::commit() {
    if (::fsync(fd_) != 0) fail("cannot write file", temp_, errno);
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot write file", temp_, errno);
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) fail("cannot replace file", target_, errno);
    committed_ = true;
}

void write_file_atomically(const fs::path& target, std::string_view bytes) {
    StagedFile f(target);
    f.write(bytes);
    f.commit();
}

}  // namespace platform
