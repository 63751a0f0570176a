#include "i18n/unicode.hpp"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
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

bool is_strip_space(UChar32 c) {
    if (c < 0) return false;
    if (u_charType(c) == U_SPACE_SEPARATOR) return true;
    switch (u_charDirection(c)) {
        case U_WHITE_SPACE_NEUTRAL:
        case U_BLOCK_SEPARATOR:
        case U_SEGMENT_SEPARATOR:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string_view trim_space(std::string_view s) {
    if (s.size() > static_cast<std::size_t>(INT32_MAX)) return s;
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t b = 0;
    int32_t e = static_cast<int32_t>(s.size());
    while (b < e) {
        int32_t i = b;
        UChar32 c;
        U8_NEXT(p, i, e, c);
        if (!is_strip_space(c)) break;
        b = i;
    }
    while (e > b) {
        // Back to the lead byte of the last character, then decode it forwards.
        int32_t start = e - 1;
        while (start > b && e - start < 4 && (p[start] & 0xC0) == 0x80) --start;
        int32_t i = start;
        UChar32 c;
        U8_NEXT(p, i, e, c);
        if (i != e || !is_strip_space(c)) break;
        e = start;
    }
    return s.substr(static_cast<std::size_t>(b), static_cast<std::size_t>(e - b));
}

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

std::string_view last_path_component(std::string_view name) noexcept {
    const auto slash = name.find_last_of("/\\");
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::string normalize_waybill_name(std::string_view file_name) {
    return nfkc_fold(trim_space(last_path_component(file_name)));
}

}  // namespace i18n
