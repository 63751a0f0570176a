// The right-click menu on ZIP archives, for the current user only: a cascading entry
// titled `menu_root`, one sub-entry per layout of SUPPORTED_NUP that starts the
// program as "exe archive N", and one sub-entry that opens the help page. Labels are
// in the language current at the time of writing; writing again relabels the menu.
//
// On Windows the menu is a registry tree under HKEY_CURRENT_USER (one per root of
// MENU_ROOTS). On Linux the same menu is written as the file managers' own right-click
// extensions under the XDG folders (see desktop_menus.hpp). All texts are UTF-8.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.hpp"

namespace shell {

namespace fs = std::filesystem;

// The class keys of the user's branch that receive the entry, in writing order: the
// built-in compressed-folder handler of ZIP archives, and every file named *.zip.
inline constexpr std::array<std::string_view, 2> MENU_ROOTS{"Software\\Classes\\CompressedFolder",
                                                            "Software\\Classes\\SystemFileAssociations\\.zip"};
// The entry under each root: "\shell\Merge" followed directly by the product title.
inline constexpr std::string_view MENU_KEY = "\\shell\\MergeTarvo PDF Mergalo";

// One sub-entry.
struct MenuEntry {
    std::string key;         // "01_1up" .. "04_9up", then "05_help": position, two digits
    std::string label;       // the `mode_*` text, or `menu_help` for the help entry
    std::optional<int> nup;  // the layout it starts; none for the help entry
};

// The menu in one language, as every place it is written to shows it.
struct Menu {
    std::string code;                // the product code; names the files only we write
    std::string app_title;           // the product title
    std::string title;               // `menu_root` with the product title
    fs::path exe;                    // the executable the layout entries start
    fs::path help;                   // the page the help entry opens
    fs::path icon;                   // the program icon as PNG, for the Linux file managers
    std::vector<MenuEntry> entries;  // one per layout of SUPPORTED_NUP in order, then help
};

// The menu in language `lang` for a product; `exe`, `help` and `icon` are taken as
// they are. Throws diag::RuntimeError only when the catalogue lacks a text.
Menu make_menu(std::string_view lang, std::string_view code, std::string_view app_title, const fs::path& exe,
               const fs::path& help, const fs::path& icon);

// Command of a layout sub-entry: the executable in double quotes, a blank, "%1" in
// double quotes (Explorer puts the archive there), a blank and the layout.
std::string layout_command(const fs::path& exe, int nup);

// Command of the help sub-entry: "explorer.exe " and the help page in double quotes.
std::string help_menu_command(const fs::path& help_path);

// Writes the menu under each root of MENU_ROOTS in turn: deletes the tree at root +
// MENU_KEY, then writes "MUIVerb", "SubCommands" and "Icon" of the entry, then per
// sub-entry its "MUIVerb" and its command. Throws platform::RegistryError when a key or
// value cannot be written; the first root may then be rewritten and the second not.
void write_registry_menu(platform::Registry& branch, const Menu& menu);

// Deletes the tree at root + MENU_KEY under each root; never fails.
void remove_registry_menu(platform::Registry& branch);

namespace detail {

// Creates or opens `subkey` (with the keys above it) and sets its value `name` to the
// string `value`. Throws platform::RegistryError.
void set_reg_value(platform::Registry& root, std::string_view subkey, std::string_view name, std::string_view value);

// The same for the key's unnamed (default) value.
void set_reg_default(platform::Registry& root, std::string_view subkey, std::string_view value);

// Deletes `subkey` with every key below it, depth first. Any registry failure (above
// all a missing key) ends it quietly. A child that survives its deletion ends the
// deletion of this tree instead of being asked for again and again.
void delete_reg_tree(platform::Registry& root, const std::string& subkey);

}  // namespace detail

}  // namespace shell
