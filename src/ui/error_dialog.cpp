#include "ui/error_dialog.hpp"

#include <functional>
#include <iostream>
#include <optional>

#include "diag/error_log.hpp"
#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace ui {

namespace {

namespace fs = std::filesystem;

constexpr int DIALOG_WIDTH = 560;
constexpr int DIALOG_HEIGHT = 260;

// The dialog's message as a read-only text that looks like a label: the same words as
// error_dialog_message, wrapped at the dialog's width, where the user can select and
// copy the log's path and the support link (Ctrl+C, or the X selection), and a click on
// the link opens it. Without a log (`log_path` none), `log_failure` stands in the
// place of the log's path and the support line does not ask for the log.
ui::tk::Widget show_message(const ui::tk::Widget& win, std::string_view text,
                            const std::optional<std::string>& log_path, std::string_view log_failure,
                            std::string_view lang, const ui::Scale& px) {
    namespace tk = ui::tk;
    tk::Interp& in = win.interp();
    const auto box = tk::Widget::create(in, "text", win.path(), "message",
                                        {"-font",
                                         tk::font(9),
                                         "-wrap",
                                         "word",
                                         "-width",
                                         1,
                                         "-height",
                                         1,
                                         "-relief",
                                         "flat",
                                         "-borderwidth",
                                         0,
                                         "-highlightthickness",
                                         0,
                                         "-padx",
                                         0,
                                         "-pady",
                                         0,
                                         "-background",
                                         win.cget("-background")});
    box.pack({"-padx", px(18), "-pady", px(8), "-fill", "x"});
    const std::string url(ui::TELEGRAM_URL);
    const std::string send = i18n::t(log_path ? "error_send_log" : "error_write_support", lang);  // "... {url}"
    const std::size_t at = send.find("{url}");
    const auto insert = [&](std::string_view part, std::string_view tag = {}) {
        if (tag.empty())
            in.call({box.path(), "insert", "end", part});
        else
            in.call({box.path(), "insert", "end", part, tag});
    };
    if (log_path) {
        insert(std::string(text) + "\n\n" + i18n::t("error_log_saved", lang) + "\n");
        insert(*log_path, "path");
    } else {
        insert(std::string(text) + "\n\n" + std::string(log_failure));
    }
    insert("\n\n" + send.substr(0, at));
    insert(url, "link");
    if (at != std::string::npos) insert(send.substr(at + 5));
    in.call({box.path(), "tag", "configure", "link", "-foreground", "#1d4ed8", "-underline", 1});
    in.call(
        {box.path(), "tag", "bind", "link", "<Enter>", tk::Word::list({box.path(), "configure", "-cursor", "hand2"})});
    in.call(
        {box.path(), "tag", "bind", "link", "<Leave>", tk::Word::list({box.path(), "configure", "-cursor", "xterm"})});
    // A click opens the link; a drag that selects part of it does not.
    in.call({box.path(), "tag", "bind", "link", "<ButtonRelease-1>", in.command([&in, box, url] {
                 if (in.call({box.path(), "tag", "ranges", "sel"}).empty()) platform::shell_open(url);
             })});
    // Read-only, yet selectable; a click gives it the focus, so that Ctrl+C copies.
    in.call({"bind", box.path(), "<1>", tk::Word::list({"focus", box.path()})});
    box.configure({"-state", "disabled"});
    return box;
}

// Gives the message as many lines as it takes at its width.
void fit_height(const ui::tk::Widget& box) {
    ui::tk::Interp& in = box.interp();
    in.update_idletasks();
    const int lines = in.call_int({box.path(), "count", "-update", "-displaylines", "1.0", "end"});
    box.configure({"-height", lines});
}

}  // namespace

std::string error_dialog_message(std::string_view text, const std::string& log_path, std::string_view lang) {
    return std::string(text) + "\n\n" + i18n::t("error_log_saved", lang) + "\n" + log_path + "\n\n" +
           i18n::t("error_send_log", lang, {{"url", TELEGRAM_URL}});
}

std::string log_failure_line(const std::exception& failure, const fs::path& log_file, std::string_view lang) {
    std::string path = platform::utf8(log_file);
    std::string advice;
    std::string detail;
    const auto* error = dynamic_cast<const diag::Error*>(&failure);
    if (error != nullptr && error->text() != nullptr && error->text()->key == "log_write_failed") {
        const diag::Text& why = *error->text();
        for (const auto& [name, value] : why.values)
            if (name == "path") path = value;
        advice = why.advice;
        // The plain-word reason says it all, unless it is only "check the disk".
        if (why.advice == "fs_other") detail = why.detail;
    } else {
        detail = failure.what();
    }
    // The path whole, as the dialog shows the log's path: the user has to find it.
    std::string line = i18n::t("error_log_not_written", lang, {{"path", path}});
    if (!advice.empty()) line.append("\n").append(i18n::t(advice, lang));
    if (!detail.empty()) line.append("\n\n").append(i18n::t("error_detail", lang, {{"detail", detail}}));
    return line;
}

std::string error_dialog_message_without_log(std::string_view text, std::string_view log_failure,
                                             std::string_view lang) {
    return std::string(text) + "\n\n" + std::string(log_failure) + "\n\n" +
           i18n::t("error_write_support", lang, {{"url", TELEGRAM_URL}});
}

namespace {

// The failure as written to the log, or why the log could not take it, and the dialog's
// whole message either way.
struct LoggedFailure {
    std::optional<fs::path> log;
    std::optional<std::string> log_path;
    std::string log_failure;
    std::string message;
};

// The dialog never depends on the log: a log that cannot be written (a read-only program
// folder, a full disk, a file named "logs") is one more line of it.
LoggedFailure log_for_dialog(const product::Context& ctx, std::string_view title, std::string_view text,
                             const std::exception* exc, std::string_view extra, const std::string& lang) {
    LoggedFailure f;
    try {
        f.log = ctx.log.write(title, exc, extra);
        f.log_path = platform::utf8(*f.log);
        f.message = error_dialog_message(text, *f.log_path, lang);
    } catch (const std::exception& e) {
        f.log_failure = log_failure_line(e, ctx.log.folder / "error.log", lang);
        f.message = error_dialog_message_without_log(text, f.log_failure, lang);
    }
    return f;
}

// The buttons: the log's folder (disabled without a log) and OK, which `close` serves;
// returns the OK button.
tk::Widget add_error_buttons(tk::Interp& root, const tk::Widget& win, const std::optional<fs::path>& log,
                             const std::string& lang, const Scale& px, const std::function<void()>& close) {
    const auto buttons = tk::Widget::create(root, "frame", win.path(), "buttons");
    buttons.pack({"-pady", px(10)});
    const auto open_log_folder = [log] {
        if (log) platform::shell_open(platform::utf8(log->parent_path()));
    };
    const auto log_button = tk::Widget::create(
        root, "button", buttons.path(), "log",
        {"-text", i18n::t("error_open_log_folder", lang), "-width", 24, "-command", root.command(open_log_folder)});
    log_button.grid({"-row", 0, "-column", 0, "-padx", px(6)});
    if (!log) log_button.configure({"-state", "disabled"});  // there is no log to show
    const auto ok = tk::Widget::create(root, "button", buttons.path(), "ok",
                                       {"-text", "OK", "-width", 14, "-command", root.command(close)});
    ok.grid({"-row", 0, "-column", 1, "-padx", px(6)});
    return ok;
}

}  // namespace

void show_error_dialog(const product::Context& ctx, std::string_view title, std::string_view text,
                       const std::exception* exc, std::string_view extra) {
    const std::string lang = ctx.language();
    const LoggedFailure logged = log_for_dialog(ctx, title, text, exc, extra, lang);
    const std::string& message = logged.message;

    std::optional<tk::Interp> own_root;
    try {
        own_root.emplace();
    } catch (const tk::NoDisplay&) {
        std::cerr << title << "\n\n" << message << std::endl;
        return;
    }
    tk::Interp& root = *own_root;
    const auto win = tk::Widget::create(root, "toplevel", ".", "error");
    win.title(ctx.title);
    win.not_resizable();
    // Several archives merged at once open their windows on top of each other; the
    // failure of one must not hide under another's result window. Asked before the
    // window is mapped, so that the window manager takes it from the start.
    tk::keep_above_others(win);
    const Scale px(root);
    center_window(ctx, win, px(DIALOG_WIDTH), px(DIALOG_HEIGHT));

    tk::Widget::create(root, "label", win.path(), "title",
                       {"-text", title, "-font", tk::font(11, "bold"), "-foreground", "#991b1b"})
        .pack({"-pady", tk::Word::list({px(18), px(8)})});
    const auto message_box = show_message(win, text, logged.log_path, logged.log_failure, lang, px);
    const std::function<void()> close_error = [&] {
        win.destroy();
        root.quit();
    };
    const auto ok = add_error_buttons(root, win, logged.log, lang, px, close_error);
    win.on_close(close_error);
    tk::use_keyboard(win, close_error, ok.path());
    fit_height(message_box);
    // A long message (a deep folder path, a long failure text) needs more than the usual
    // height; grow downwards rather than cut off the text and the buttons.
    root.update_idletasks();
    if (const int needed = root.call_int({"winfo", "reqheight", win.path()}); needed > px(DIALOG_HEIGHT))
        center_window(ctx, win, px(DIALOG_WIDTH), needed);
    root.mainloop();
}

}  // namespace ui
