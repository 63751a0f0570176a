// The right-click menu of the running program: its executable, its help page and the
// current language go into the menu model (shell/context_menu.hpp), which is written
// to the registry on Windows and to the file managers' folders on Linux.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "product/context.hpp"
#include "shell/menu_place.hpp"

namespace app {

// Writes the menu for the program of `ctx` in its current language: the layout entries
// start the executable's folder / executable file name, the help entry opens the help
// page of the current language. Written to ctx.menu_registry when a test gives one.
// Throws diag::FileNotFound with the `exe_not_found` text when the built executable is
// not in its folder (nothing is changed then); a diag::RuntimeError when this system has
// no place for the menu; the writing failure otherwise (platform::RegistryError; on
// Linux a diag::RuntimeError in the current language, with the system's words as its
// detail).
//
// On Linux the menu goes to the file managers found on PATH (see desktop_menus.hpp),
// with the application entry ("Open with") for every file manager unless the program
// is installed system-wide (the package brings its own), all or nothing, and the
// user's list of programs by file type is refreshed. Returns the file managers that
// got the menu (no names: none of them was found) and whether that list could be
// refreshed; no value where the menu does not go per file manager (the registry).
std::optional<shell::FileManagerMenus> install_context_menu_silent(const product::Context& ctx);

// Removes the menu (on Linux also the user's application entry). Missing pieces are no
// error. Throws diag::RuntimeError when this system has no place for the menu; on Linux
// one in the current language when a written file cannot be deleted. Returns the names
// of the file managers whose menu was removed (empty: none had one); no value where the
// menu does not go per file manager (the registry).
std::optional<shell::FileManagerMenus> uninstall_context_menu_silent(const product::Context& ctx);

}  // namespace app
