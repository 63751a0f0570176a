#include "diag/error_dialog.hpp"

#include <iostream>
#include <optional>

#include "diag/error_log.hpp"
#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace diag {

namespace {

constexpr int DIALOG_WIDTH = 560;
constexpr int DIALOG_HEIGHT = 260;

}  // namespace

std::string error_dialog_message(std::string_view text, const std::string& log_path, std::string_view lang) {
    return std::string(text) + "\n\n" + i18n::t("error_log_saved", lang) + "\n" + log_path + "\n\n" +
           i18n::t("error_send_log", lang, {{"url", ui::TELEGRAM_URL}});
}

void show_error_dialog(std::string_view title, std::string_view text, const std::exception* exc,
                       std::string_view extra) {
    namespace tk = ui::tk;
    const std::filesystem::path log = write_error_log(title, exc, extra);
    const std::string lang = ui::current_language();
    const std::string message = error_dialog_message(text, platform::utf8(log), lang);

    std::optional<tk::Interp> own_root;
    try {
        own_root.emplace();
    } catch (const tk::NoDisplay&) {
        std::cerr << title << "\n\n" << message << std::endl;
        return;
    }
    tk::Interp& root = *own_root;
    const auto win = tk::Widget::create(root, "toplevel", ".", "error");
    win.title(ui::app_title());
    win.not_resizable();
    // Several archives merged at once open their windows on top of each other; the
    // failure of one must not hide under another's result window. Asked before the
    // window is mapped, so that the window manager takes it from the start.
    tk::keep_above_others(win);
    ui::center_window(win, DIALOG_WIDTH, DIALOG_HEIGHT);

    tk::Widget::create(root, "label", win.path(), "title",
                       {"-text", title, "-font", tk::font(11, "bold"), "-foreground", "#991b1b"})
        .pack({"-pady", tk::Word::list({18, 8})});
    tk::Widget::create(root, "label", win.path(), "message",
                       {"-text", message, "-font", tk::font(9), "-justify", "left", "-wraplength", 520})
        .pack({"-padx", 18, "-pady", 8});
    const auto buttons = tk::Widget::create(root, "frame", win.path(), "buttons");
    buttons.pack({"-pady", 10});
    const auto close_error = [&] {
        win.destroy();
        root.quit();
    };
    const auto open_log_folder = [&log] { platform::shell_open(platform::utf8(log.parent_path())); };
    tk::Widget::create(root, "button", buttons.path(), "log",
                       {"-text", i18n::t("error_open_log_folder", lang), "-width", 24, "-command",
                        root.command(open_log_folder)})
        .grid({"-row", 0, "-column", 0, "-padx", 6});
    const auto ok = tk::Widget::create(root, "button", buttons.path(), "ok",
                                       {"-text", "OK", "-width", 14, "-command", root.command(close_error)});
    ok.grid({"-row", 0, "-column", 1, "-padx", 6});
    win.on_close(close_error);
    tk::use_keyboard(win, close_error, ok.path());
    // A long message (a deep folder path, a long failure text) needs more than the usual
    // height; grow downwards rather than cut off the text and the buttons.
    root.update_idletasks();
    if (const int needed = root.call_int({"winfo", "reqheight", win.path()}); needed > DIALOG_HEIGHT)
        ui::center_window(win, DIALOG_WIDTH, needed);
    root.mainloop();
}

}  // namespace diag
