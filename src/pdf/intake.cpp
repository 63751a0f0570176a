#include "pdf/intake.hpp"

#include "i18n/unicode.hpp"

namespace pdf {

namespace {

// White space as Unicode defines it would also trim NBSP; names in archives use
// plain blanks and tabs, and the trim happens again after NFKC folds NBSP to a blank.
std::string_view trim(std::string_view s) {
    constexpr std::string_view ws = " \t\r\n\f\v";
    auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

}  // namespace

std::string normalize_waybill_name(std::string_view file_name) {
    auto slash = file_name.find_last_of("/\\");
    std::string_view last = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
    return std::string(trim(i18n::nfkc_fold(trim(last))));
}

}  // namespace pdf
