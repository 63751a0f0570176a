#include "shell/desktop_menus.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
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
#include "shell/desktop_files.hpp"
#include "shell/menu_place.hpp"

namespace shell {

using namespace detail;

namespace {

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

// Makes `folder` and the folders above it that are missing; returns those it made,
// outermost first.
std::vector<fs::path> make_folders(const fs::path& folder) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = folder; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        // A folder that cannot be looked at is not taken for one this install made.
        const fs::file_status status = fs::symlink_status(p, ec);
        if (status.type() != fs::file_type::not_found) break;
        missing.push_back(p);
    }
    fs::create_directories(folder);
    std::reverse(missing.begin(), missing.end());
    return missing;
}

// Removes each of `folders` that is an empty folder (not a link), the deepest first;
// returns those that stay.
std::vector<fs::path> remove_empty_folders(std::vector<fs::path> folders) noexcept {
    std::vector<fs::path> kept;
    try {
        std::sort(folders.begin(), folders.end(), [](const fs::path& a, const fs::path& b) { return a > b; });
        folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
        for (const auto& folder : folders) {
            std::error_code ec;
            const auto status = fs::symlink_status(folder, ec);
            if (ec || status.type() == fs::file_type::not_found) continue;
            if (status.type() == fs::file_type::directory && fs::is_empty(folder, ec) && !ec) {
                fs::remove(folder, ec);
                if (!ec) continue;
            }
            kept.push_back(folder);
        }
    } catch (const std::exception&) {}  // out of memory: the rest stay
    return kept;
}

// The folders listed in the record of folders the installs made, one path per line.
std::vector<fs::path> read_made_folders(const fs::path& record) {
    std::vector<fs::path> folders;
    if (record.empty()) return folders;
    std::ifstream in(record, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] == '/') folders.push_back(line);
    return folders;
}

// Rewrites the record with `folders`, or deletes it when there are none. A record that
// cannot be written only costs the clean-up of empty folders later: no error.
void write_made_folders(const fs::path& record, std::vector<fs::path> folders) noexcept {
    if (record.empty()) return;
    try {
        std::error_code ec;
        if (folders.empty()) {
            // The record's folder goes with it when nothing else is in it.
            if (fs::remove(record, ec)) fs::remove(record.parent_path(), ec);
            return;
        }
        std::sort(folders.begin(), folders.end());
        folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
        std::string text;
        for (const auto& f : folders)
            if (f.native().find('\n') == std::string::npos) text += f.native() + "\n";
        fs::create_directories(record.parent_path(), ec);
        platform::StagedFile staged(record);
        staged.write(text);
        staged.commit();
    } catch (const std::exception&) {}
}

// Runs update-desktop-database on the folder of the user's application entries, so
// that "Open with" and the default-program lookup of gio and xdg-open see a written or
// removed entry at once. False when the program is not there or fails.
bool refresh_application_list(const fs::path& applications) noexcept {
    std::error_code ec;
    if (!fs::is_directory(applications, ec)) return true;  // no entries: nothing to list
    std::string program = "update-desktop-database";
    std::string folder = applications.string();
    std::vector<char*> argv{program.data(), folder.data(), nullptr};
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return false;
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const bool started = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    if (!started) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

void replace_desktop_files(const std::vector<MenuFile>& files, const std::vector<MenuFile>& ours,
                           const fs::path& made_record) {
    std::vector<std::unique_ptr<platform::StagedFile>> staged;
    std::vector<fs::path> made;
    const MenuFile* current = nullptr;
    try {
        for (const auto& file : files) {
            current = &file;
            for (auto& folder : make_folders(file.path.parent_path())) made.push_back(std::move(folder));
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
        remove_empty_folders(made);
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
        remove_empty_folders(made);
        throw file_failure(step, current->path, e);
    }
    if (!made.empty()) {
        std::vector<fs::path> all = read_made_folders(made_record);
        all.insert(all.end(), made.begin(), made.end());
        write_made_folders(made_record, std::move(all));
    }
}

std::vector<FileManager> remove_desktop_files(const std::vector<MenuFile>& ours, const fs::path& made_record) {
    std::vector<FileManager> had;
    for (const auto& file : ours) {
        if (!is_ours(file)) continue;
        std::error_code ec;
        fs::remove(file.path, ec);
        if (ec) throw diag::file_error("file_access_failed", {{"path", platform::utf8(file.path)}}, ec);
        if (file.manager && std::find(had.begin(), had.end(), *file.manager) == had.end()) had.push_back(*file.manager);
    }
    prune_script_folders(ours);
    // The folders the installs made go when nothing is left in them; a folder that
    // still holds something stays on the record, to go once it is empty.
    write_made_folders(made_record, remove_empty_folders(read_made_folders(made_record)));
    std::sort(had.begin(), had.end());
    return had;
}

namespace detail {

namespace {

DesktopFolders user_folders() { return {platform::xdg_data_home(), platform::xdg_config_home()}; }

// The file managers of which a file of ours is there, in FILE_MANAGERS order.
std::vector<FileManager> managers_with_files(const std::vector<MenuFile>& ours) {
    std::vector<FileManager> found;
    for (const auto& file : ours)
        if (file.manager && std::find(found.begin(), found.end(), *file.manager) == found.end() && is_ours(file))
            found.push_back(*file.manager);
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> names_of(const std::vector<FileManager>& managers) {
    std::vector<std::string> names;
    for (FileManager m : managers) names.emplace_back(file_manager_name(m));
    return names;
}

}  // namespace

FileManagerMenus install_in_file_managers(const MenuInstall& install) {
    const DesktopFolders folders = user_folders();
    const std::vector<MenuFile> ours = every_desktop_file(install.every_language, folders);
    // The file managers found on PATH, and those that have the menu already: a file
    // manager not found this time (started from elsewhere, or PATH set otherwise) keeps
    // its menu, rewritten in the current language. Only an uninstall removes it.
    std::vector<FileManager> managers = installed_file_managers(platform::get_env("PATH").value_or(""));
    for (FileManager m : managers_with_files(ours))
        if (std::find(managers.begin(), managers.end(), m) == managers.end()) managers.push_back(m);
    std::sort(managers.begin(), managers.end());
    std::vector<MenuFile> files = desktop_menu_files(install.menu, folders, managers);
    if (install.application_entry) {
        const auto entry = application_entry_files(install.menu, folders, install.icon_folder);
        files.insert(files.end(), entry.begin(), entry.end());
    }
    replace_desktop_files(files, ours, install.made_record);
    const bool listed = refresh_application_list(folders.data_home / "applications");
    return {names_of(managers), listed || !install.application_entry};
}

FileManagerMenus uninstall_from_file_managers(const std::vector<Menu>& every_language, const fs::path& made_record) {
    const DesktopFolders folders = user_folders();
    const fs::path applications = folders.data_home / "applications";
    auto removed = remove_desktop_files(every_desktop_file(every_language, folders), made_record);
    const bool listed = refresh_application_list(applications);
    // A folder the install made that holds nothing but the list the refresh writes goes
    // as well; beside anything else the list stays, as the other entries need it.
    const std::vector<fs::path> made = read_made_folders(made_record);
    if (std::find(made.begin(), made.end(), applications) != made.end()) {
        std::error_code ec;
        std::vector<fs::path> inside;
        for (fs::directory_iterator it(applications, ec), end; !ec && it != end; it.increment(ec))
            inside.push_back(it->path().filename());
        const bool only_list = !ec && inside == std::vector<fs::path>{"mimeinfo.cache"};
        if (only_list && fs::remove(applications / "mimeinfo.cache", ec))
            write_made_folders(made_record, remove_empty_folders(made));
    }
    return {names_of(removed), listed};
}

}  // namespace detail

}  // namespace shell
