#include "shell/desktop_menus.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <system_error>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"
#include "shell/menu_place.hpp"
#include "shell/open_archives_script.hpp"

namespace shell {

namespace {

// The comment line by which removal tells our files from anything else of the same name.
std::string marker(const Menu& menu) { return "# " + menu.code + ": right-click menu entry for ZIP archives"; }

// A value of a desktop entry or key file: backslashes and line breaks escaped, a
// leading blank kept.
std::string key_value(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    if (!out.empty() && out[0] == ' ') out.replace(0, 1, "\\s");
    return out;
}

// One argument of an Exec line in double quotes, the characters that are special
// inside them escaped, and a literal "%" written "%%" (Dolphin and Nemo both read that).
// The result still goes through key_value, which doubles the backslashes again.
std::string exec_arg(std::string_view arg) {
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

// Text in single quotes for sh: nothing inside is special but the quote itself.
std::string sh_quote(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// A one-line comment of a script or key file.
std::string comment(std::string_view text) {
    std::string out = "# ";
    for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
    return out;
}

std::string dolphin_action_id(const Menu& menu, const MenuEntry& entry) {
    std::string id = menu.code + "-" + entry.key;
    for (char& c : id)
        if (c == '_') c = '-';  // action identifiers allow letters, digits and '-' only
    return id;
}

std::string dolphin_service_menu(const Menu& menu) {
    std::string actions;
    for (const auto& e : menu.entries) actions += dolphin_action_id(menu, e) + ";";
    std::string out = marker(menu) + "\n";
    out += "[Desktop Entry]\n";
    out += "Type=Service\n";
    out += "Name=" + key_value(menu.title) + "\n";
    out += "Icon=" + key_value(platform::utf8(menu.icon)) + "\n";
    out += "MimeType=application/zip;\n";
    out += "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n";
    out += "X-KDE-Priority=TopLevel\n";
    out += "X-KDE-Submenu=" + key_value(menu.title) + "\n";
    out += "Actions=" + actions + "\n";
    for (const auto& e : menu.entries) {
        out += "\n[Desktop Action " + dolphin_action_id(menu, e) + "]\n";
        out += "Name=" + key_value(e.label) + "\n";
        // %f: Dolphin starts the command once per selected archive, the path as one argument.
        std::string exec = e.nup ? exec_arg(platform::utf8(menu.exe)) + " %f " + std::to_string(*e.nup)
                                 : "xdg-open " + exec_arg(platform::utf8(menu.help));
        out += "Exec=" + key_value(exec) + "\n";
    }
    return out;
}

// The shell script of one sub-entry. The file manager gives the selected archives as
// arguments: names relative to the current folder (Nautilus, Caja) or file:// URIs
// (Nemo). Each becomes one argument of its own merge; all merges run at once, like one
// process per archive from Explorer, and the script waits for them.
std::string entry_script(const Menu& menu, const MenuEntry& entry) {
    std::string out = "#!/bin/sh\n" + marker(menu) + "\n" + comment(menu.title + ": " + entry.label) + "\n";
    if (!entry.nup) {
        out += "help=" + sh_quote(platform::utf8(menu.help)) + "\n";
        out += "exec xdg-open \"$help\" </dev/null\n";
        return out;
    }
    out += "exe=" + sh_quote(platform::utf8(menu.exe)) + "\n";
    out += "layout=" + std::to_string(*entry.nup) + "\n";
    out += "\n";
    out += OPEN_ARCHIVES_SCRIPT;
    return out;
}

// A Nemo action that runs the entry's script with the selection as file:// URIs. Nemo
// pastes the selection into the Exec line and splits it again; URIs hold no quote and
// no backslash, so each one comes out as one argument whatever the file is called.
std::string nemo_action(const Menu& menu, const MenuEntry& entry, const fs::path& script) {
    std::string out = marker(menu) + "\n";
    out += "[Nemo Action]\n";
    out += "Name=" + key_value(entry.nup ? menu.app_title + ": " + entry.label : entry.label) + "\n";
    out += "Comment=" + key_value(menu.title) + "\n";
    out += "Exec=" + key_value(exec_arg(platform::utf8(script)) + " %U") + "\n";
    out += "Selection=notnone\n";
    out += "Mimetypes=application/zip;\n";
    out += "Quote=double\n";
    return out;
}

// The application entry: "Open with" in every file manager. Named by the product
// title, described in both languages (Russian also as the untranslated value).
std::string application_entry(const Menu& menu, const std::string& icon) {
    std::string out = marker(menu) + "\n";
    out += "[Desktop Entry]\n";
    out += "Type=Application\n";
    out += "Version=1.4\n";
    out += "Name=" + key_value(menu.app_title) + "\n";
    out += "Comment=" + key_value(i18n::t("menu_root", "ru", {{"app", menu.app_title}})) + "\n";
    for (std::string_view lang : i18n::LANGUAGES)
        out += "Comment[" + std::string(lang) +
               "]=" + key_value(i18n::t("menu_root", lang, {{"app", menu.app_title}})) + "\n";
    // Words the application menus search by (Russian also as the untranslated value).
    const auto keywords = [&out](std::string_view lang, bool localized) {
        out += "Keywords";
        if (localized) {
            out += '[';
            out += lang;
            out += ']';
        }
        out += '=';
        out += key_value(i18n::t("app_keywords", lang));
        out += '\n';
    };
    keywords("ru", false);
    for (std::string_view lang : i18n::LANGUAGES) keywords(lang, true);
    out += "Icon=" + key_value(icon) + "\n";
    // %F: every selected archive, each one argument; the program asks for the layout once.
    out += "Exec=" + key_value(exec_arg(platform::utf8(menu.exe)) + " " + std::string(CHOOSE_LAYOUT_SWITCH) + " %F") +
           "\n";
    out += "Terminal=false\n";
    out += "MimeType=application/zip;\n";
    out += "Categories=Office;\n";
    return out;
}

// The Nautilus and the Caja sub-folder of the menu: the scripts' sub-menu.
fs::path nautilus_folder(const Menu& menu, const DesktopFolders& folders) {
    return folders.data_home / "nautilus" / "scripts" / platform::path_from_utf8(menu.title);
}
fs::path caja_folder(const Menu& menu, const DesktopFolders& folders) {
    return folders.config_home / "caja" / "scripts" / platform::path_from_utf8(menu.title);
}

// Nautilus and Caja sort scripts by name, digits first and by their value, letters
// after them (Latin before Cyrillic). Labels that start with their layout's digits
// ("1 на лист", ..., then "Инструкция ...") come out in the menu's order; any others
// ("Параққа 1", ..., "Tarvo PDF Mergalo нұсқаулығы") get their position in front.
std::vector<std::string> script_names(const Menu& menu) {
    auto starts_with_digit = [](const std::string& s) { return !s.empty() && s[0] >= '0' && s[0] <= '9'; };
    bool in_order = true;
    for (const auto& e : menu.entries)
        if (starts_with_digit(e.label) != e.nup.has_value()) in_order = false;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < menu.entries.size(); ++i)
        names.push_back(in_order ? menu.entries[i].label : std::to_string(i + 1) + ". " + menu.entries[i].label);
    return names;
}

bool carries_marker(const fs::path& file, const std::string& mark) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    for (int i = 0; i < 2 && std::getline(in, line); ++i)
        if (line == mark) return true;
    return false;
}

// A file of `ours` that is there and is ours: it carries its marker, or (an icon) it
// is a file at its place.
bool is_ours(const MenuFile& file) {
    if (!file.marker.empty()) return carries_marker(file.path, file.marker);
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(file.path, ec));
}

std::string read_whole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw fs::filesystem_error("cannot open file", file,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw fs::filesystem_error("cannot read file", file, std::make_error_code(std::errc::io_error));
    return std::move(bytes).str();
}

// The scripts' title folders that the files leave empty go with them.
void prune_script_folders(const std::vector<MenuFile>& files) {
    for (const auto& file : files) {
        if (file.manager != FileManager::nautilus && file.manager != FileManager::caja) continue;
        std::error_code ec;
        const fs::path folder = file.path.parent_path();
        if (fs::is_directory(folder, ec) && fs::is_empty(folder, ec)) fs::remove(folder, ec);
    }
}

// Deletes every file of ours among `files`, as far as it can.
void remove_quietly(const std::vector<MenuFile>& files) noexcept {
    for (const auto& file : files) {
        std::error_code ec;
        if (is_ours(file)) fs::remove(file.path, ec);
    }
    prune_script_folders(files);
}

// The program's error for a failed file operation on `file`: its catalogue text, the
// advice for the system's error code, and the system's own words as the detail.
diag::RuntimeError file_failure(const char* key, const fs::path& file, const std::system_error& e) {
    return diag::file_error(key, {{"path", platform::utf8(file)}}, e.code());
}

}  // namespace

std::string_view file_manager_name(FileManager manager) noexcept {
    switch (manager) {
        case FileManager::dolphin:
            return "Dolphin";
        case FileManager::nautilus:
            return "Nautilus";
        case FileManager::caja:
            return "Caja";
        case FileManager::nemo:
            return "Nemo";
    }
    return "";
}

std::vector<FileManager> installed_file_managers(std::string_view search_path) {
    std::vector<FileManager> found;
    for (FileManager manager : FILE_MANAGERS) {
        std::string program(file_manager_name(manager));
        std::transform(program.begin(), program.end(), program.begin(),
                       [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
        std::string_view rest = search_path;
        while (true) {
            const std::size_t colon = rest.find(':');
            const std::string_view folder = rest.substr(0, colon);
            // An empty entry is the current folder, which says nothing about what is installed.
            if (!folder.empty()) {
                const fs::path candidate = platform::path_from_utf8(folder) / program;
                std::error_code ec;
                if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
                    found.push_back(manager);
                    break;
                }
            }
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    return found;
}

std::vector<MenuFile> desktop_menu_files(const Menu& menu, const DesktopFolders& folders,
                                         const std::vector<FileManager>& managers) {
    auto wanted = [&](FileManager m) { return std::find(managers.begin(), managers.end(), m) != managers.end(); };
    const std::string mark = marker(menu);
    std::vector<MenuFile> files;
    if (wanted(FileManager::dolphin))
        files.push_back({folders.data_home / "kio" / "servicemenus" / (menu.code + "-zip.desktop"),
                         dolphin_service_menu(menu), true, mark, FileManager::dolphin});
    const std::vector<std::string> names = script_names(menu);
    for (auto [manager, scripts] : {std::pair{FileManager::nautilus, nautilus_folder(menu, folders)},
                                    std::pair{FileManager::caja, caja_folder(menu, folders)}}) {
        if (!wanted(manager)) continue;
        for (std::size_t i = 0; i < menu.entries.size(); ++i)
            files.push_back({scripts / platform::path_from_utf8(names[i]), entry_script(menu, menu.entries[i]), true,
                             mark, manager});
    }
    if (wanted(FileManager::nemo)) {
        const fs::path nemo = folders.data_home / "nemo" / "actions";
        for (const auto& e : menu.entries) {
            const fs::path script = nemo / (menu.code + "-" + e.key + ".sh");
            files.push_back({script, entry_script(menu, e), true, mark, FileManager::nemo});
            files.push_back({nemo / (menu.code + "-" + e.key + ".nemo_action"), nemo_action(menu, e, script), false,
                             mark, FileManager::nemo});
        }
    }
    return files;
}

std::vector<MenuFile> application_entry_files(const Menu& menu, const DesktopFolders& folders,
                                              const fs::path& icon_theme) {
    std::vector<MenuFile> icons;
    const fs::path theme = icon_theme / "hicolor";
    std::error_code ec;
    for (fs::directory_iterator it(theme, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path icon = it->path() / "apps" / (menu.code + ".png");
        if (fs::is_regular_file(icon, ec))
            icons.push_back(
                {folders.data_home / "icons" / "hicolor" / it->path().filename() / "apps" / (menu.code + ".png"),
                 {},
                 false,
                 {},
                 std::nullopt,
                 icon});
    }
    std::sort(icons.begin(), icons.end(), [](const MenuFile& a, const MenuFile& b) { return a.path < b.path; });
    // Without the theme's icons the entry names the window icon's file itself.
    const std::string icon = icons.empty() ? platform::utf8(menu.icon) : menu.code;
    std::vector<MenuFile> files{{folders.data_home / "applications" / (menu.code + ".desktop"),
                                 application_entry(menu, icon),
                                 false,
                                 marker(menu),
                                 std::nullopt,
                                 {}}};
    files.insert(files.end(), icons.begin(), icons.end());
    return files;
}

std::vector<MenuFile> every_desktop_file(const std::vector<Menu>& menus, const DesktopFolders& folders) {
    std::vector<MenuFile> ours;
    for (const auto& menu : menus) {
        auto files = desktop_menu_files(menu, folders);
        ours.insert(ours.end(), files.begin(), files.end());
        // Scripts named by their bare labels, as earlier versions named them in every language.
        for (const auto& e : menu.entries) {
            const fs::path label = platform::path_from_utf8(e.label);
            ours.push_back({nautilus_folder(menu, folders) / label, {}, true, marker(menu), FileManager::nautilus});
            ours.push_back({caja_folder(menu, folders) / label, {}, true, marker(menu), FileManager::caja});
        }
    }
    if (menus.empty()) return ours;
    const Menu& menu = menus.front();
    ours.push_back({folders.data_home / "applications" / (menu.code + ".desktop"), {}, false, marker(menu)});
    for (int size : ICON_SIZES) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        ours.push_back({folders.data_home / "icons" / "hicolor" / folder / "apps" / (menu.code + ".png"), {}});
    }
    return ours;
}

void replace_desktop_files(const std::vector<MenuFile>& files, const std::vector<MenuFile>& ours) {
    std::vector<std::unique_ptr<platform::StagedFile>> staged;
    const MenuFile* current = nullptr;
    try {
        for (const auto& file : files) {
            current = &file;
            fs::create_directories(file.path.parent_path());
            auto one = std::make_unique<platform::StagedFile>(file.path);
            one->write(file.source.empty() ? file.content : read_whole(file.source));
            // Set before the rename, so the file never appears without its execute bit.
            fs::permissions(one->temp_path(), file.executable ? fs::perms(0755) : fs::perms(0644),
                            fs::perm_options::replace);
            staged.push_back(std::move(one));
        }
    } catch (const std::system_error& e) {
        staged.clear();  // removes the temporary files: nothing has changed
        prune_script_folders(files);
        throw file_failure("file_write_failed", current->path, e);
    }
    const char* step = "file_write_failed";
    try {
        for (std::size_t i = 0; i < staged.size(); ++i) {
            current = &files[i];
            staged[i]->commit();
        }
        step = "file_access_failed";
        for (const auto& old : ours) {
            const bool replaced =
                std::any_of(files.begin(), files.end(), [&](const MenuFile& f) { return f.path == old.path; });
            current = &old;
            if (!replaced && is_ours(old)) fs::remove(old.path);
        }
        prune_script_folders(ours);
    } catch (const std::system_error& e) {
        // Some files are in place and others not: take every one of ours away.
        staged.clear();
        remove_quietly(ours);
        remove_quietly(files);
        throw file_failure(step, current->path, e);
    }
}

std::vector<FileManager> remove_desktop_files(const std::vector<MenuFile>& ours) {
    std::vector<FileManager> had;
    for (const auto& file : ours) {
        if (!is_ours(file)) continue;
        std::error_code ec;
        fs::remove(file.path, ec);
        if (ec) throw diag::file_error("file_access_failed", {{"path", platform::utf8(file.path)}}, ec);
        if (file.manager && std::find(had.begin(), had.end(), *file.manager) == had.end()) had.push_back(*file.manager);
    }
    prune_script_folders(ours);
    std::sort(had.begin(), had.end());
    return had;
}

namespace detail {

namespace {

DesktopFolders user_folders() { return {platform::xdg_data_home(), platform::xdg_config_home()}; }

std::vector<std::string> names_of(const std::vector<FileManager>& managers) {
    std::vector<std::string> names;
    for (FileManager m : managers) names.emplace_back(file_manager_name(m));
    return names;
}

}  // namespace

std::vector<std::string> install_in_file_managers(const MenuInstall& install) {
    const DesktopFolders folders = user_folders();
    const std::vector<FileManager> managers = installed_file_managers(platform::get_env("PATH").value_or(""));
    std::vector<MenuFile> files = desktop_menu_files(install.menu, folders, managers);
    if (install.application_entry) {
        const auto entry = application_entry_files(install.menu, folders, install.icon_folder);
        files.insert(files.end(), entry.begin(), entry.end());
    }
    replace_desktop_files(files, every_desktop_file(install.every_language, folders));
    return names_of(managers);
}

std::vector<std::string> uninstall_from_file_managers(const std::vector<Menu>& every_language) {
    return names_of(remove_desktop_files(every_desktop_file(every_language, user_folders())));
}

}  // namespace detail

}  // namespace shell
