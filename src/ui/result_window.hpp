// The result window: what a merge job made, and the follow-up actions (open the outputs
// or their folder, delete old sheets, help, language, close).
#pragma once

#include <string>
#include <string_view>

#include "app/job.hpp"

namespace ui {

// Horizontal padding of the window's main blocks, pixels.
inline constexpr int PAD = 28;

// Shows the result window for `result` on a hidden Tk main window of its own and
// returns when the user has closed it. Without a display prints build_details (in the
// current language) to standard output instead. An exception of a button action (a
// language that cannot be stored) ends the window and passes to the caller.
void show_done(const app::MergeResult& result);

// The details lines, joined by "\n" with none at the end: version, the two output
// paths (or the no-new-file text), the layout's name, files, new files, source pages,
// and for 4/6/9 per sheet the sheets of the full output and, when there is a new-only
// output, its sheets. 7, 8 or 9 lines.
std::string build_details(const app::MergeResult& result, std::string_view lang);

namespace detail {

// Re-registers the context-menu entries so that their labels follow a new language.
// Throws what the registration throws.
void refresh_context_menu();

}  // namespace detail

}  // namespace ui
