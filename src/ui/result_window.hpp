// The result window: what a merge job made, and the follow-up actions (open the outputs
// or their folder, delete old sheets, help, language, close).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "job/result.hpp"
#include "product/context.hpp"

namespace ui {

// Horizontal padding of the window's main blocks, pixels.
inline constexpr int PAD = 28;

// Told the language the user picked in the result window, after it has been saved
// (the entry rewrites the right-click menu with it).
using LanguageChanged = std::function<void(const std::string& lang)>;

// Shows the result window for `result` on a hidden Tk main window of its own and
// returns when the user has closed it. Without a display prints build_details (in the
// current language) to standard output instead. A language picked in the window is
// saved, then handed to `on_language_changed` (when given), then shown. A button whose
// action fails (a file or folder that cannot be opened, a language that cannot be
// stored, an exception of `on_language_changed`) says so in an error box of its own
// and the window stays; only a fault of the toolkit itself ends the window and passes
// to the caller. The heading says that something needs checking when a waybill was
// repaired or left out as a repeat with other content, or damaged history records
// were skipped.
void show_done(const product::Context& ctx, const job::MergeResult& result,
               const LanguageChanged& on_language_changed = {});

// The details lines, joined by "\n" with none at the end: version, the two output
// paths (or the no-new-file text), the layout's name, files, new files, source pages,
// and for 4/6/9 per sheet the sheets of the full output and, when there is a new-only
// output, its sheets. 7, 8 or 9 lines.
std::string build_details(const product::Context& ctx, const job::MergeResult& result, std::string_view lang);

}  // namespace ui
