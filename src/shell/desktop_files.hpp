// The texts of the files the Linux right-click menus are made of. Internal to shell/:
// desktop_menus.cpp writes them where each file manager looks. All texts are UTF-8;
// nothing here throws but std::bad_alloc.
#pragma once

#include <filesystem>
#include <string>

#include "shell/desktop_menus.hpp"

namespace shell::detail {

// The comment line by which removal tells our files from anything else of the same name.
std::string marker(const Menu& menu);

// Dolphin's service menu: one action per entry of the menu.
std::string dolphin_service_menu(const Menu& menu);

// The shell script of one sub-entry (Nautilus, Caja, and Nemo's actions run it).
std::string entry_script(const Menu& menu, const MenuEntry& entry);

// A Nemo action that runs `script` with the selection as file:// URIs.
std::string nemo_action(const Menu& menu, const MenuEntry& entry, const std::filesystem::path& script);

// The application entry ("Open with" in every file manager), with `icon` as its icon.
std::string application_entry(const Menu& menu, const std::string& icon);

}  // namespace shell::detail
