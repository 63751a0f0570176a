// The clean-up of old output sheets, as the user sees it: message boxes around
// history::old_sheets.
#pragma once

#include <filesystem>
#include <string_view>

#include "product/context.hpp"

namespace ui {

// Lists the old output sheets of `folder` (taking the time now); when there are none,
// says so in an information box, else asks with a yes/no box that names them and, on
// yes, deletes exactly those files, skipping silently any that cannot be deleted. All
// texts in `lang`; the boxes have no parent window. Without a display says on standard
// error that no window can be opened and deletes nothing. Throws tk::TclError only
// for a fault of the program.
void clean_old_sheets(const product::Context& ctx, const std::filesystem::path& folder, std::string_view lang);

}  // namespace ui
