// The menu model and its registry tree. What the running program puts into the menu
// (its executable, help page, language) is gathered by app/install.cpp.
#include "shell/context_menu.hpp"

#include "i18n/catalogue.hpp"
#include "job/layouts.hpp"
#include "job/output_names.hpp"
#include "platform/platform.hpp"

namespace shell {

namespace {

// Built by appending: GCC 12 at -O3 misreads "literal" + string as an overlapping copy.
std::string quoted(const fs::path& p) {
    std::string out = "\"";
    out += platform::utf8(p);
    out += '"';
    return out;
}

// Position in the menu, counted from 1, as two digits: "01".
std::string position(std::size_t index) {
    const std::size_t n = index + 1;
    return std::string(1, static_cast<char>('0' + n / 10 % 10)) + static_cast<char>('0' + n % 10);
}

}  // namespace

Menu make_menu(std::string_view lang, std::string_view code, std::string_view app_title, const fs::path& exe,
               const fs::path& help, const fs::path& icon) {
    Menu menu{std::string(code),
              std::string(app_title),
              i18n::t("menu_root", lang, {{"app", app_title}}),
              exe,
              help,
              icon,
              {}};
    for (std::size_t i = 0; i < job::SUPPORTED_NUP.size(); ++i) {
        const int nup = job::SUPPORTED_NUP[i];
        menu.entries.push_back({position(i) + "_" + std::to_string(nup) + "up", job::mode_name(nup, lang), nup});
    }
    menu.entries.push_back({position(job::SUPPORTED_NUP.size()) + "_help",
                            i18n::t("menu_help", lang, {{"app", app_title}}), std::nullopt});
    return menu;
}

std::string layout_command(const fs::path& exe, int nup) { return quoted(exe) + " \"%1\" " + std::to_string(nup); }

std::string help_menu_command(const fs::path& help_path) { return "explorer.exe " + quoted(help_path); }

void write_registry_menu(platform::Registry& branch, const Menu& menu) {
    for (std::string_view root : MENU_ROOTS) {
        const std::string base = std::string(root) + std::string(MENU_KEY);
        // Whatever an earlier version left below the entry goes with it.
        detail::delete_reg_tree(branch, base);
        detail::set_reg_value(branch, base, "MUIVerb", menu.title);
        detail::set_reg_value(branch, base, "SubCommands", "");
        detail::set_reg_value(branch, base, "Icon", quoted(menu.exe));
        for (const auto& entry : menu.entries) {
            const std::string key = base + "\\shell\\" + entry.key;
            detail::set_reg_value(branch, key, "MUIVerb", entry.label);
            detail::set_reg_default(branch, key + "\\command",
                                    entry.nup ? layout_command(menu.exe, *entry.nup) : help_menu_command(menu.help));
        }
    }
}

void remove_registry_menu(platform::Registry& branch) {
    for (std::string_view root : MENU_ROOTS) detail::delete_reg_tree(branch, std::string(root) + std::string(MENU_KEY));
}

namespace detail {

void set_reg_value(platform::Registry& root, std::string_view subkey, std::string_view name, std::string_view value) {
    root.set_string(subkey, name, value);
}

void set_reg_default(platform::Registry& root, std::string_view subkey, std::string_view value) {
    root.set_string(subkey, "", value);
}

void delete_reg_tree(platform::Registry& root, const std::string& subkey) {
    try {
        std::optional<std::string> previous;
        while (auto child = root.first_subkey(subkey)) {
            // Index 0 is asked each time because the child just deleted is gone. A child
            // that is still there could not be deleted: give up on this tree.
            if (child == previous) return;
            delete_reg_tree(root, subkey + "\\" + *child);
            previous = std::move(child);
        }
        root.delete_key(subkey);
    } catch (const platform::RegistryError&) {
        // A missing key, or one the system keeps: deleting a tree is never an error.
    }
}

}  // namespace detail

}  // namespace shell
