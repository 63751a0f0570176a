#include "app/modes.hpp"

#include <iostream>
#include <memory>
#include <system_error>

#include "app/folders.hpp"
#include "app/profile.hpp"
#include "diag/error_log.hpp"
#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "shell/context_menu.hpp"
#include "ui/dialogs.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace app {

namespace fs = std::filesystem;

namespace {

// The hidden Tk main window that owns an interactive mode's message boxes, or none when
// no window can be opened; then the texts go to the standard streams.
class Talk {
public:
    // `lang`: the language of the boxes' buttons.
    explicit Talk(std::string lang) : lang_(std::move(lang)) {
        try {
            root_ = std::make_unique<ui::tk::Interp>();
            ui::prepare_dialogs(*root_, lang_);  // the boxes carry the program icon
        } catch (const ui::tk::NoDisplay&) {
        }
    }
    bool ask_yes_no(const std::string& text) {
        if (!root_) {
            std::cout << text << '\n';
            return false;
        }
        return ui::tk::ask_yes_no(profile::title(), text, lang_);
    }
    void info(const std::string& text) {
        if (!root_) {
            std::cout << text << '\n';
            return;
        }
        ui::tk::show_info(profile::title(), text, lang_);
    }
    void error(const std::string& text) {
        if (!root_) {
            std::cerr << text << '\n';
            return;
        }
        ui::tk::message_box({"ok", "error", profile::title(), text, lang_});
    }

private:
    std::string lang_;
    std::unique_ptr<ui::tk::Interp> root_;
};

std::string menu_item(std::string_view lang) { return i18n::t("menu_root", lang, {{"app", profile::title()}}); }

// Deletes an entry (a file, a link, or a folder with its content) as far as it can:
// what will not go stays. A link is removed itself, never followed.
void remove_quietly(const fs::path& entry) noexcept {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(entry, ec))) {
        for (fs::directory_iterator it(entry, ec), end; !ec && it != end; it.increment(ec)) remove_quietly(it->path());
    }
    fs::remove(entry, ec);
}

// Deletes a folder with everything in it, going on past entries that will not go; a
// missing folder is nothing to do. Throws when the folder itself cannot be read.
void remove_folder(const fs::path& folder) {
    std::error_code ec;
    const auto status = fs::symlink_status(folder, ec);
    if (!fs::exists(status)) return;
    if (fs::is_directory(status))
        for (const auto& entry : fs::directory_iterator(folder)) remove_quietly(entry.path());
    fs::remove(folder, ec);  // a folder with a survivor in it stays, and so be it
}

}  // namespace

int run_install_mode() {
    const std::string lang = ui::current_language();
    Talk talk(lang);
    try {
        shell::install_context_menu_silent();
        const fs::path help = app_dir() / "Instruction.html";
        const bool open = talk.ask_yes_no(i18n::t("menu_installed", lang, {{"item", menu_item(lang)}}));
        std::error_code ec;
        if (open && fs::exists(help, ec)) platform::shell_open(platform::utf8(fs::weakly_canonical(help)));
        return 0;
    } catch (const std::exception& e) {
        talk.error(i18n::t("menu_install_failed", lang, {{"error", e.what()}}));
        return 1;
    }
}

int run_uninstall_mode() {
    const std::string lang = ui::current_language();
    Talk talk(lang);
    try {
        shell::uninstall_context_menu_silent();
        talk.info(i18n::t("menu_removed", lang, {{"item", menu_item(lang)}}));
        return 0;
    } catch (const std::exception& e) {
        talk.error(i18n::t("menu_remove_failed", lang, {{"error", e.what()}}));
        return 1;
    }
}

int install_menu_silently() {
    try {
        shell::install_context_menu_silent();
        return 0;
    } catch (const std::exception& e) {
        diag::write_error_log("Не удалось поставить пункт меню правой кнопки", &e);
        return 1;
    }
}

int uninstall_menu_silently() {
    try {
        shell::uninstall_context_menu_silent();
        return 0;
    } catch (const std::exception& e) {
        diag::write_error_log("Не удалось убрать пункт меню правой кнопки", &e);
        return 1;
    }
}

void purge_personal_data(const fs::path& app_folder, const fs::path& data_folder) {
    for (const fs::path& folder : {data_folder, app_folder / "logs"}) {
        try {
            remove_folder(folder);
        } catch (const std::exception& e) {
            try {
                diag::write_error_log("Не удалось убрать папку " + platform::utf8(folder), &e);
            } catch (const std::exception&) {
                // Nowhere left to report to; the removal goes on.
            }
        }
    }
}

int purge_personal_data_silently() {
    try {
        purge_personal_data(app_dir(), data_dir());
        return 0;
    } catch (const std::exception& e) {
        diag::write_error_log("Не удалось убрать личные данные при удалении", &e);
        return 1;
    }
}

}  // namespace app
