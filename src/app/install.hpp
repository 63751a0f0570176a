// The right-click menu of the running program: its executable, its help page and the
// current language go into the menu model (shell/context_menu.hpp), which is written
// to the registry on Windows and to the file managers' folders on Linux.
#pragma once

#include "product/context.hpp"

namespace app {

// Writes the menu for the program of `ctx` in its current language: the layout entries
// start app folder / executable file name, the help entry opens the help page of the
// current language. Written to ctx.menu_registry when a test gives one. Throws
// diag::FileNotFound with the `exe_not_found` text when the built executable is not in
// the app folder (nothing is changed then); a diag::RuntimeError when this system has
// no place for the menu; the writing failure otherwise (platform::RegistryError,
// std::filesystem::filesystem_error).
void install_context_menu_silent(const Context& ctx);

// Removes the menu. Missing pieces are no error. Throws diag::RuntimeError when this
// system has no place for the menu; on Linux a filesystem_error when a written file
// cannot be deleted.
void uninstall_context_menu_silent(const Context& ctx);

}  // namespace app
