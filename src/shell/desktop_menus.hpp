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
// on ZIP archives (application/zip); the scripts' menus show on every file. Nautilus
// and Caja order scripts by file name: where the labels would not sort in the menu's
// order (Kazakh: the Latin product title of the help entry comes before "Параққа"),
// each script's name starts with its position ("1. ", "2. ", ...).
//
// Besides, an application entry <data>/applications/<code>.desktop (MimeType
// application/zip, the program icon <code>.png in <data>/icons/hicolor) makes every
// file manager offer "Open with <title>" on ZIP archives; it starts the program with
// CHOOSE_LAYOUT_SWITCH and the selected archives, and the program asks for the layout.
//
// Every command gets each archive as an argument of its own: Dolphin starts
// "exe archive N" per selected archive (%f), and the scripts start one merge per
// archive from their argument list (names relative to the current folder from Nautilus
// and Caja, file:// URIs from Nemo), never through a command line built from a name.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "shell/context_menu.hpp"

namespace shell {

struct DesktopFolders {
    fs::path data_home;    // $XDG_DATA_HOME or ~/.local/share
    fs::path config_home;  // $XDG_CONFIG_HOME or ~/.config
};

// The argument 1 with which the application entry starts the program: ask for the
// layout in the chooser, then merge each archive that follows.
inline constexpr std::string_view CHOOSE_LAYOUT_SWITCH = "--choose-layout";

// The file managers that read right-click extensions of their own.
enum class FileManager { dolphin, nautilus, caja, nemo };
inline constexpr std::array<FileManager, 4> FILE_MANAGERS{FileManager::dolphin, FileManager::nautilus,
                                                          FileManager::caja, FileManager::nemo};

// "Dolphin", "Nautilus", "Caja", "Nemo". Does not throw.
std::string_view file_manager_name(FileManager manager) noexcept;

// The file managers whose program ("dolphin", "nautilus", "caja", "nemo") is an
// executable file in one of the folders of `search_path` (a PATH value: folders
// separated by ':'), in FILE_MANAGERS order. Does not throw but std::bad_alloc.
std::vector<FileManager> installed_file_managers(std::string_view search_path);

// One file of the menu or of the application entry, and what it holds.
struct MenuFile {
    fs::path path;
    std::string content;                   // UTF-8 text, or empty when `source` is given
    bool executable = false;               // mode 0755 instead of 0644
    std::string marker{};                  // the first or second line by which removal knows the
                                           // file as ours; empty: the file is ours by its name (an icon)
    std::optional<FileManager> manager{};  // whose extension it is; none for the application entry
    fs::path source{};                     // a file to copy as the content (an icon), or empty
};

// The files that make up `menu` for the file managers `managers`, in writing order.
// Each carries the marker line of `menu.code`. Does not throw but std::bad_alloc.
std::vector<MenuFile> desktop_menu_files(const Menu& menu, const DesktopFolders& folders,
                                         const std::vector<FileManager>& managers = {FILE_MANAGERS.begin(),
                                                                                     FILE_MANAGERS.end()});

// The application entry of `menu`'s program: <code>.desktop, which starts menu.exe
// with CHOOSE_LAYOUT_SWITCH and the selected files (%F), named by the product title and
// described in Russian and Kazakh, and the icon <code>.png at every size that
// `icon_theme` (a folder laid out as hicolor/<N>x<N>/apps/<code>.png) holds. Throws
// diag::RuntimeError only when the catalogue lacks a text.
std::vector<MenuFile> application_entry_files(const Menu& menu, const DesktopFolders& folders,
                                              const fs::path& icon_theme);

// The icon sizes an application entry may have put into the user's hicolor theme.
inline constexpr std::array<int, 8> ICON_SIZES{16, 22, 24, 32, 48, 64, 128, 256};

// Every file that an install in the language of any of `menus` could have written:
// the menu for every file manager, the application entry and its icon at every size
// of ICON_SIZES. For replace_desktop_files and remove_desktop_files. Does not throw but
// std::bad_alloc.
std::vector<MenuFile> every_desktop_file(const std::vector<Menu>& menus, const DesktopFolders& folders);

// Puts `files` in place of the files of ours among `ours` (the files that an install
// in any language could have written), all or none: each file is first written beside
// its place under a temporary name; when every one is written, they are renamed into
// place and the files of `ours` that `files` does not replace are deleted. A failure
// before the renames changes nothing; a failure after them deletes every file of
// `ours` and of `files`, so no file manager keeps entries while another lacks them.
// Throws diag::RuntimeError with the text `file_write_failed` (or `file_access_failed`)
// naming the file, the advice for the system's error, and the system's words as detail.
// The folders it makes are added to `made_record` (a list of paths, one a line; none
// kept when empty), for removal to take away once they are empty.
void replace_desktop_files(const std::vector<MenuFile>& files, const std::vector<MenuFile>& ours,
                           const fs::path& made_record = {});

// Deletes the files of ours among `ours` that are there, then the scripts' title
// folders they leave empty and the folders of `made_record` that are empty (the
// record keeps those that still hold something, and goes with its folder when none). Returns the file managers of which
// a file was deleted, in FILE_MANAGERS order. Missing files are no error; nothing else is touched. Throws
// diag::RuntimeError (`file_access_failed`) when a file of ours cannot be deleted.
std::vector<FileManager> remove_desktop_files(const std::vector<MenuFile>& ours, const fs::path& made_record = {});

}  // namespace shell
