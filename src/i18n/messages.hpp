// Failures in the user's words: the catalogue messages that units below the app layer
// raise (diag::Text) rendered in a language, with over-long names cut in the middle.
// UTF-8 in and out.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

#include "diag/errors.hpp"

namespace i18n {

// The longest value, in code points, that a message shows whole: about one line of
// the error dialog.
inline constexpr std::size_t LINE_CHARS = 80;

// `text` itself when it has at most `max_chars` code points; otherwise its beginning
// and its end with "…" between them, `max_chars` code points in all, so that a long
// path keeps its drive or folder and its file name. Ill-formed bytes count as one
// code point each and are never split. Never throws except std::bad_alloc.
std::string shorten_middle(std::string_view text, std::size_t max_chars = LINE_CHARS);

// A catalogue message in `lang`: its text with the values filled in (each line of each
// cut with shorten_middle), then on a line of its own the advice sentence, then after an empty
// line "Подробности: <detail>". Throws diag::RuntimeError for a key that is not in the
// catalogue or a placeholder without a value (a programming error).
std::string render(const diag::Text& text, std::string_view lang);

// The user's words for a failure: render() of its catalogue message in `lang` when it
// carries one; the what() of a diag::Error raised with a finished text; for any other
// exception (a library's or the system's own words) the text `error_unexpected` with
// its what() after "Подробности:". Never throws except std::bad_alloc.
std::string message(const std::exception& e, std::string_view lang);

// Throws an error of the same kind (FileNotFound, InvalidValue, RuntimeError, or
// diag::Error for another kind) whose what() is message(e, lang), keeping e's place
// of origin and its catalogue message. An error without a catalogue message is
// rethrown as it is (the current exception), so call this inside a catch block.
[[noreturn]] void rethrow_in_language(const diag::Error& e, std::string_view lang);

}  // namespace i18n
