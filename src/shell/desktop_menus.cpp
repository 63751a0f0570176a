#include "shell/desktop_menus.hpp"

#include <fstream>
#include <system_error>

#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

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
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
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
        if (c == '\'') out += "'\\''";
        else out += c;
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
    out += R"SH(
# Without arguments (a remote folder) take the file manager's list of local paths,
# one per line.
if [ $# -eq 0 ]; then
    list=${NAUTILUS_SCRIPT_SELECTED_FILE_PATHS:-${CAJA_SCRIPT_SELECTED_FILE_PATHS:-${NEMO_SCRIPT_SELECTED_FILE_PATHS:-}}}
    set -f
    saved_ifs=$IFS
    IFS='
'
    set -- $list
    IFS=$saved_ifs
    set +f
fi

# Sets $path to the local path of a file:// URI: every %XX becomes its byte.
uri_to_path() {
    rest=${1#file://}
    case $rest in
        /*) ;;
        *) rest=/${rest#*/} ;;
    esac
    escaped=
    while [ -n "$rest" ]; do
        case $rest in
            %[0-9A-Fa-f][0-9A-Fa-f]*)
                hex=${rest#%}
                hex=${hex%"${hex#??}"}
                byte=$((0x$hex))
                escaped="$escaped\\0$((byte / 64))$((byte / 8 % 8))$((byte % 8))"
                rest=${rest#%??}
                ;;
            *)
                char=${rest%"${rest#?}"}
                [ "$char" = '\' ] && char='\\'
                escaped=$escaped$char
                rest=${rest#?}
                ;;
        esac
    done
    path=$(printf '%bx' "$escaped")
    path=${path%x}
}

for arg in "$@"; do
    case $arg in
        file://*) uri_to_path "$arg" ;;
        /*) path=$arg ;;
        *) path=$PWD/$arg ;;
    esac
    "$exe" "$path" "$layout" </dev/null &
done
wait
)SH";
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

// The Nautilus and the Caja sub-folder of the menu: the scripts' sub-menu.
std::vector<fs::path> script_folders(const Menu& menu, const DesktopFolders& folders) {
    const fs::path title = platform::path_from_utf8(menu.title);
    return {folders.data_home / "nautilus" / "scripts" / title, folders.config_home / "caja" / "scripts" / title};
}

bool carries_marker(const fs::path& file, const std::string& mark) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    for (int i = 0; i < 2 && std::getline(in, line); ++i)
        if (line == mark) return true;
    return false;
}

}  // namespace

std::vector<MenuFile> desktop_menu_files(const Menu& menu, const DesktopFolders& folders) {
    std::vector<MenuFile> files;
    files.push_back({folders.data_home / "kio" / "servicemenus" / (menu.code + "-zip.desktop"),
                     dolphin_service_menu(menu), true});
    for (const fs::path& scripts : script_folders(menu, folders))
        for (const auto& e : menu.entries)
            files.push_back({scripts / platform::path_from_utf8(e.label), entry_script(menu, e), true});
    const fs::path nemo = folders.data_home / "nemo" / "actions";
    for (const auto& e : menu.entries) {
        const fs::path script = nemo / (menu.code + "-" + e.key + ".sh");
        files.push_back({script, entry_script(menu, e), true});
        files.push_back({nemo / (menu.code + "-" + e.key + ".nemo_action"), nemo_action(menu, e, script), false});
    }
    return files;
}

void write_desktop_menus(const Menu& menu, const DesktopFolders& folders) {
    for (const auto& file : desktop_menu_files(menu, folders)) {
        fs::create_directories(file.path.parent_path());
        platform::StagedFile staged(file.path);
        staged.write(file.content);
        // Set before the rename, so the file never appears without its execute bit.
        fs::permissions(staged.temp_path(),
                        file.executable ? fs::perms(0755) : fs::perms(0644), fs::perm_options::replace);
        staged.commit();
    }
}

void remove_desktop_menus(const std::vector<Menu>& menus, const DesktopFolders& folders) {
    for (const auto& menu : menus) {
        const std::string mark = marker(menu);
        for (const auto& file : desktop_menu_files(menu, folders))
            if (carries_marker(file.path, mark)) fs::remove(file.path);
        for (const fs::path& scripts : script_folders(menu, folders)) {
            std::error_code ec;
            if (fs::is_directory(scripts, ec) && fs::is_empty(scripts, ec)) fs::remove(scripts, ec);
        }
    }
}

}  // namespace shell
