#include "app/modes.hpp"

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/install.hpp"
#include "diag/error_log.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "platform/platform.hpp"
#include "ui/dialogs.hpp"
#include "ui/tk.hpp"

namespace app {

namespace fs = std::filesystem;

namespace {

// The hidden Tk main window that owns an interactive mode's message boxes, or none when
// no window can be opened; then the texts go to the standard streams.
class Talk {
public:
    // The boxes' title is the program's; `lang`: the language of their buttons.
    Talk(const product::Context& ctx, std::string lang) : title_(ctx.title), lang_(std::move(lang)) {
        try {
            root_ = std::make_unique<ui::tk::Interp>();
            ui::prepare_dialogs(ctx, *root_, lang_);  // the boxes carry the program icon
        } catch (const ui::tk::NoDisplay&) {}
    }
    bool ask_yes_no(const std::string& text) {
        if (!root_) {
            std::cout << text << '\n';
            return false;
        }
        return ui::tk::ask_yes_no(title_, text, lang_);
    }
    void info(const std::string& text) {
        if (!root_) {
            std::cout << text << '\n';
            return;
        }
        ui::tk::show_info(title_, text, lang_);
    }
    void error(const std::string& text) {
        if (!root_) {
            std::cerr << text << '\n';
            return;
        }
        ui::tk::message_box({"ok", "error", title_, text, lang_});
    }

private:
    std::string title_;
    std::string lang_;
    std::unique_ptr<ui::tk::Interp> root_;
};

std::string menu_item(const product::Context& ctx, std::string_view lang) {
    return i18n::t("menu_root", lang, {{"app", ctx.title}});
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

// The file managers that got the menu, each where its entries are: Caja and Nautilus
// show them in their scripts' sub-menu, the others among their own entries.
std::string placed(const std::vector<std::string>& names, std::string_view lang) {
    std::vector<std::string> out;
    for (const auto& name : names) {
        if (name == "Caja")
            out.push_back(i18n::t("menu_in_caja_scripts", lang));
        else if (name == "Nautilus")
            out.push_back(i18n::t("menu_in_nautilus_scripts", lang));
        else
            out.push_back(name);
    }
    return joined(out);
}

// The text of the install box: where the menu went, and whether "Open with" offers the program.
std::string installed_text(const product::Context& ctx, const std::optional<shell::FileManagerMenus>& managers,
                           std::string_view lang) {
    if (!managers) return i18n::t("menu_installed", lang, {{"item", menu_item(ctx, lang)}});
    const bool none = managers->names.empty();
    const char* key =
        managers->programs_listed
            ? (none ? "menu_installed_no_file_manager" : "menu_installed_file_managers")
            : (none ? "menu_installed_no_file_manager_unlisted" : "menu_installed_file_managers_unlisted");
    return i18n::t(key, lang,
                   {{"item", menu_item(ctx, lang)}, {"app", ctx.title}, {"managers", placed(managers->names, lang)}});
}

}  // namespace

int run_install_mode(const product::Context& ctx) {
    const std::string lang = ctx.language();
    Talk talk(ctx, lang);
    try {
        const auto managers = install_context_menu_silent(ctx);
        // The page beside the executable, which is not the history's folder when installed system-wide.
        const fs::path help = ctx.program_dir / "Instruction.html";
        const bool open = talk.ask_yes_no(installed_text(ctx, managers, lang));
        std::error_code ec;
        if (open && fs::exists(help, ec)) platform::shell_open(platform::utf8(fs::weakly_canonical(help)));
        return 0;
    } catch (const std::exception& e) {
        talk.error(i18n::t("menu_install_failed", lang, {{"error", i18n::message(e, lang)}}));
        return 1;
    }
}

int run_uninstall_mode(const product::Context& ctx) {
    const std::string lang = ctx.language();
    Talk talk(ctx, lang);
    try {
        const auto managers = uninstall_context_menu_silent(ctx);
        talk.info(!managers ? i18n::t("menu_removed", lang, {{"item", menu_item(ctx, lang)}})
                  : managers->names.empty()
                      ? i18n::t("menu_removed_no_file_manager", lang, {{"item", menu_item(ctx, lang)}})
                      : i18n::t("menu_removed_file_managers", lang,
                                {{"item", menu_item(ctx, lang)}, {"managers", joined(managers->names)}}));
        return 0;
    } catch (const std::exception& e) {
        talk.error(i18n::t("menu_remove_failed", lang, {{"error", i18n::message(e, lang)}}));
        return 1;
    }
}

int install_menu_silently(const product::Context& ctx) {
    try {
        install_context_menu_silent(ctx);
        return 0;
    } catch (const std::exception& e) {
        ctx.log.write_quietly(diag::log_titles::MENU_INSTALL_FAILED, &e);
        return 1;
    }
}

int uninstall_menu_silently(const product::Context& ctx) {
    try {
        uninstall_context_menu_silent(ctx);
        return 0;
    } catch (const std::exception& e) {
        ctx.log.write_quietly(diag::log_titles::MENU_UNINSTALL_FAILED, &e);
        return 1;
    }
}

namespace {

// The logs folder beside the program may hold files of the user's (it lies in a folder
// the user picked): only the log and the temporary files of its rewrites go, and the
// folder itself only when that leaves it empty. A logs folder that is a link is removed
// as a link. True when nothing of the log is left.
bool remove_log_files(const fs::path& logs) {
    std::error_code ec;
    if (fs::is_symlink(logs, ec)) return platform::remove_tree(logs);
    if (!fs::is_directory(logs, ec)) return platform::remove_tree(logs);
    bool removed = true;
    for (fs::directory_iterator it(logs, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = platform::utf8(it->path().filename());
        const bool ours = name == "error.log" || (name.starts_with(".error.log.") && name.ends_with(".tmp"));
        std::error_code gone;
        if (ours && !fs::remove(it->path(), gone)) removed = false;
    }
    if (ec) return false;
    fs::remove(logs, ec);  // fails, as it should, when the user's files are left in it
    return removed;
}

}  // namespace

void purge_personal_data(const product::Context& ctx) {
    std::error_code ec;
    // The per-user data folder is the program's own: it goes whole. Links inside are
    // removed, never followed: nothing outside the folder goes.
    if (fs::exists(fs::symlink_status(ctx.data_dir, ec)) && !platform::remove_tree(ctx.data_dir))
        ctx.log.write_quietly(std::string(diag::log_titles::FOLDER_NOT_REMOVED) + platform::utf8(ctx.data_dir));
    const fs::path logs = ctx.history_dir / "logs";
    // Nowhere left to report to when the log fails too; the removal goes on.
    if (fs::exists(fs::symlink_status(logs, ec)) && !remove_log_files(logs))
        ctx.log.write_quietly(std::string(diag::log_titles::FOLDER_NOT_REMOVED) + platform::utf8(logs));
}

int purge_personal_data_silently(const product::Context& ctx) {
    try {
        purge_personal_data(ctx);
        return 0;
    } catch (const std::exception& e) {
        ctx.log.write_quietly(diag::log_titles::DATA_NOT_REMOVED, &e);
        return 1;
    }
}

}  // namespace app
