// Tk's own dialogs as the program shows them: the program's icon and language on the
// message boxes and the open-file dialog.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "product/context.hpp"
#include "ui/tk.hpp"

namespace ui {

// Gets the dialogs that `in` shows from now on ready: the program icon on every window
// it makes (through its hidden main window) and Tk's texts in `lang`. Never throws.
void prepare_dialogs(const product::Context& ctx, tk::Interp& in, std::string_view lang) noexcept;

// The size of the open-file dialog's list of files (Tk's own dialog), pixels at 96 per
// inch: 16 rows of names instead of Tk's six.
inline constexpr int FILE_LIST_WIDTH = 600;
inline constexpr int FILE_LIST_HEIGHT = 320;

// The open-file dialog for a waybill archive, over `root`, in the current language and
// with the program icon: ZIP archives in any letter case ("ЗАКАЗЫ.ZIP" too), or all
// files; it starts in the user's Downloads folder when there is one and hides hidden
// files and folders. Returns the chosen path (UTF-8), or none when cancelled.
std::optional<std::string> ask_for_archive(const product::Context& ctx, tk::Interp& root);

}  // namespace ui
