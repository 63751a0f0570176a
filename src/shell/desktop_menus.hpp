// The right-click menu on Linux: the menu of context_menu.hpp written for the current
// user as the extensions the file managers read themselves:
//
//   Dolphin   <data>/kio/servicemenus/<code>-zip.desktop   a service menu with a sub-menu
//   Nautilus  <data>/nautilus/scripts/<title>/<label>       one script per sub-entry
//   Caja      <config>/caja/scripts/<title>/<label>         one script per sub-entry
//   Nemo      <data>/nemo/actions/<code>-<key>.nemo_action  one action per sub-entry,
//             with its script <code>-<key>.sh beside it
//
// where <data> and <config> are the user's XDG data and config folders, <title> the
// menu's title and <label> a sub-entry's label. Dolphin and Nemo show the entries only
// on ZIP archives (application/zip); the scripts' menus show on every file.
//
// Every command gets each archive as an argument of its own: Dolphin starts
// "exe archive N" per selected archive (%f), and the scripts start one merge per
// archive from their argument list (names relative to the current folder from Nautilus
// and Caja, file:// URIs from Nemo), never through a command line built from a name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "shell/context_menu.hpp"

namespace shell {

struct DesktopFolders {
    fs::path data_home;    // $XDG_DATA_HOME or ~/.local/share
    fs::path config_home;  // $XDG_CONFIG_HOME or ~/.config
};

// One file of the menu and what it holds (UTF-8 text).
struct MenuFile {
    fs::path path;
    std::string content;
    bool executable = false;  // mode 0755 instead of 0644
};

// The files that make up `menu` for every file manager, in writing order. Each file
// carries the marker line of `menu.code`, by which removal recognises it. Does not throw.
std::vector<MenuFile> desktop_menu_files(const Menu& menu, const DesktopFolders& folders);

// Writes every file of desktop_menu_files, each whole through a staged file, creating
// the folders. Throws std::filesystem::filesystem_error when a file cannot be written.
void write_desktop_menus(const Menu& menu, const DesktopFolders& folders);

// Deletes every file that desktop_menu_files gives for one of `menus` (the menu in
// each language) and that carries the marker, then the scripts' title folders when
// they are left empty. Missing files are no error; nothing else is touched. Throws
// std::filesystem::filesystem_error when a marked file cannot be deleted.
void remove_desktop_menus(const std::vector<Menu>& menus, const DesktopFolders& folders);

}  // namespace shell
