#include "i18n/unicode.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <stdexcept>

namespace i18n {

namespace {

std::string to_utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

icu::UnicodeString from_utf8(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

icu::UnicodeString normalize(const icu::UnicodeString& s) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFKCInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU NFKC is not available");
    icu::UnicodeString out = n->normalize(s, status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU NFKC failed");
    return out;
}

}  // namespace

std::string fold_case(std::string_view utf8) {
    icu::UnicodeString s = from_utf8(utf8);
    s.foldCase(U_FOLD_CASE_DEFAULT);
    return to_utf8(s);
}

std::string nfkc(std::string_view utf8) { return to_utf8(normalize(from_utf8(utf8))); }

std::string nfkc_fold(std::string_view utf8) {
    icu::UnicodeString s = normalize(from_utf8(utf8));
    s.foldCase(U_FOLD_CASE_DEFAULT);
    return to_utf8(s);
}

bool is_valid_utf8(std::string_view bytes) {
    int32_t i = 0;
    const auto length = static_cast<int32_t>(bytes.size());
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    while (i < length) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace i18n
