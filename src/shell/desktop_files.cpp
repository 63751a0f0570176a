// The texts of the files the Linux menus are made of: desktop entries, key files, shell
// scripts, Nemo actions and Dolphin's service menu.
#include "shell/desktop_files.hpp"

#include <string>

#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "shell/open_archives_script.hpp"

namespace shell::detail {

namespace {

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

// One argument of an Exec line: as it is when it holds none of the characters that
// the desktop entry rules reserve, else in double quotes with the characters special
// inside them escaped; a literal "%" is written "%%" either way. Quotes only where
// needed: xdg-open without a desktop environment splits the line at blanks and takes
// any quote as part of the program's name. The result still goes through key_value,
// which doubles the backslashes again.
std::string exec_arg(std::string_view arg) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quoted = arg.empty() || arg.find_first_of(reserved) != std::string_view::npos;
    std::string out = quoted ? "\"" : "";
    for (char c : arg) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return quoted ? out + "\"" : out;
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

}  // namespace

std::string marker(const Menu& menu) { return "# " + menu.code + ": right-click menu entry for ZIP archives"; }

std::string dolphin_service_menu(const Menu& menu) {
    std::string actions;
    for (const auto& e : menu.entries) actions += dolphin_action_id(menu, e) + ";";
    std::string out = marker(menu) + "\n";
    out += "[Desktop Entry]\n";
    out += "Type=Service\n";
    out += "Name=" + key_value(menu.title) + "\n";
    out += "Icon=" + key_value(platform::utf8(menu.icon)) + "\n";
    // Hidden once the program is gone (a removed package leaves the user's menus behind).
    out += "TryExec=" + key_value(platform::utf8(menu.exe)) + "\n";
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
    // Nemo hides an action whose dependency (an absolute path: that file) is missing: the
    // program, or the help page, is gone with a removed package. A path with ';' cannot
    // be written in the list and goes without.
    const std::string needed = platform::utf8(entry.nup ? menu.exe : menu.help);
    if (needed.find(';') == std::string::npos) out += "Dependencies=" + key_value(needed) + ";\n";
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
    out += "TryExec=" + key_value(platform::utf8(menu.exe)) + "\n";
    // %F: every selected archive, each one argument; the program asks for the layout once.
    out += "Exec=" + key_value(exec_arg(platform::utf8(menu.exe)) + " " + std::string(CHOOSE_LAYOUT_SWITCH) + " %F") +
           "\n";
    out += "Terminal=false\n";
    out += "MimeType=application/zip;\n";
    out += "Categories=Office;\n";
    return out;
}

}  // namespace shell::detail
