// Where the right-click menu goes, decided here once: a registry branch when the system
// has one (Windows; or the branch a test gives), else the file managers' folders under
// the XDG folders (Linux). The caller hands over the finished menu model. Texts UTF-8.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.hpp"
#include "shell/context_menu.hpp"

namespace shell {

// What installing the menu needs.
struct MenuInstall {
    Menu menu;                          // in the current language
    std::vector<Menu> every_language;   // the menu in every language: labels of another one may be on disk
    bool application_entry = true;      // "Open with" as well (not for a program installed for all users)
    std::filesystem::path icon_folder;  // the folder of the icon's PNG, for "Open with"
    std::filesystem::path made_record;  // the list of folders the installs made, for the uninstall
};

// The menu where it goes per file manager (Linux).
struct FileManagerMenus {
    std::vector<std::string> names;  // the file managers that got (or had) the menu, in FILE_MANAGERS order
    // False when the application entry was written or removed but the system's list of
    // programs by file type could not be refreshed (update-desktop-database missing or
    // failing): "Open with" may not show the program then.
    bool programs_listed = true;
};

// Writes the menu to `registry` when given, else to the system's place. Returns the
// file managers that got it (no names: none of them was found), or no value for the
// registry, where the menu does not go per file manager. Throws
// platform::RegistryError when the registry cannot be written, diag::RuntimeError
// ("menu_place_missing") when the system has no place for the menu, and on Linux
// diag::RuntimeError with a catalogue message when a file cannot be written (all or
// nothing).
std::optional<FileManagerMenus> install_menu(const MenuInstall& install, platform::Registry* registry);

// Removes the menu of any language (`every_language`), and on Linux the user's
// application entry, from `registry` when given, else from the system's place. Missing
// pieces are no error. Returns as install_menu; throws as install_menu.
// `made_record`: as MenuInstall's; the folders on it go once they are empty.
std::optional<FileManagerMenus> uninstall_menu(const std::vector<Menu>& every_language, platform::Registry* registry,
                                               const std::filesystem::path& made_record = {});

namespace detail {

// The file managers' half, built only where they are (Linux); elsewhere it throws
// diag::RuntimeError ("menu_place_missing").
FileManagerMenus install_in_file_managers(const MenuInstall& install);
FileManagerMenus uninstall_from_file_managers(const std::vector<Menu>& every_language,
                                              const std::filesystem::path& made_record);

}  // namespace detail

}  // namespace shell
