// Old output sheets: the program's own merged PDFs in a folder, older than
// OLD_SHEET_DAYS days, which the result window offers to delete. Nothing here touches
// windows; the clean-up with its questions is ui::clean_old_sheets.
// (The output names themselves are output_names.hpp's.)
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "history/dates.hpp"
#include "history/store.hpp"  // OLD_SHEET_DAYS

namespace job {

// The output sheets directly in `folder` (no sub-folders) whose last modification,
// as local time, is strictly earlier than `now` minus OLD_SHEET_DAYS days. An output
// sheet is a regular file with the extension ".pdf" in any letter case whose name
// without it contains both "_" + app_title and "_MERGED", letter case exact. Sorted by
// case-folded file name. A folder that cannot be listed gives an empty list; a file
// whose time cannot be read is left out. Never throws.
std::vector<std::filesystem::path> old_sheets(const std::filesystem::path& folder, std::string_view app_title,
                                              history::LocalTime now = history::local_now());

// The file names of the first `limit` paths, one per line, and when there are more a
// last line `old_sheets_and_more` in `lang` with the number left out. No line break
// at the end.
std::string describe_old_sheets(const std::vector<std::filesystem::path>& paths, std::string_view lang,
                                std::size_t limit = 5);

}  // namespace job
