// Unicode helpers over ICU. Texts are UTF-8 in and out; ill-formed input bytes are
// replaced by U+FFFD rather than rejected.
#pragma once

#include <string>
#include <string_view>

namespace i18n {

// Full Unicode case folding (so "ß" folds to "ss" and "Z" (U+FF3A) to its fold).
std::string fold_case(std::string_view utf8);

// Unicode normalisation form NFKC.
std::string nfkc(std::string_view utf8);

// NFKC, then full case folding: the form in which names that differ only in case
// or in compatibility forms (full-width digits) compare equal.
std::string nfkc_fold(std::string_view utf8);

// The text without white space at both ends, white space as Python's str.strip() has
// it: Unicode space separators and the white-space, paragraph-separator and
// segment-separator bidi classes (so NBSP, the ideographic space and the ASCII
// controls \t \n \v \f \r \x1c-\x1f count). Ill-formed bytes count as text.
std::string_view trim_space(std::string_view utf8);

// The last path component of a name: the text after its last "/" or "\" (both
// separate, on every platform), or the whole text when it has neither; "a/b/" gives "".
std::string_view last_path_component(std::string_view name) noexcept;

// The name by which two waybill files count as the same waybill: the last path
// component, white space trimmed at both ends, NFKC, then full case folding. Names that
// differ only in case, in compatibility forms or in their folders compare equal. UTF-8
// in and out (ill-formed bytes become U+FFFD); never throws for any input bytes.
std::string normalize_waybill_name(std::string_view file_name);

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

}  // namespace i18n
