#include "ui/language_window.hpp"

#include <iostream>

#include "i18n/catalogue.hpp"
#include "ui/window.hpp"

namespace ui {

namespace detail {

namespace {

// Division rounded towards minus infinity, so a window larger than the screen goes
// as far left (or up) as the rule says.
int floor_div(int a, int b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

std::string chooser_position(int width, int height, int screen_width, int screen_height) {
    std::string position = "+";
    position += std::to_string(floor_div(screen_width - width, 2));
    position += "+";
    position += std::to_string(floor_div(screen_height - height, 3));
    return position;
}

void center(const product::Context& ctx, const tk::Widget& window) {
    set_icon(ctx, window);
    tk::Interp& in = window.interp();
    in.update_idletasks();
    const auto query = [&](const char* what) { return in.call_int({"winfo", what, window.path()}); };
    in.call({"wm", "geometry", window.path(),
             chooser_position(query("width"), query("height"), query("screenwidth"), query("screenheight"))});
}

}  // namespace detail

std::optional<std::string> choose_language_window(const product::Context& ctx, const tk::Widget* parent) {
    std::optional<tk::Interp> own;
    std::optional<tk::Widget> win;
    if (parent != nullptr) {
        win = tk::Widget::create(parent->interp(), "toplevel", parent->path(), "language");
    } else {
        try {
            own.emplace();
        } catch (const tk::NoDisplay&) {
            std::cerr << i18n::t("no_window", ctx.language()) << '\n';
            return std::nullopt;
        }
        win.emplace(*own, ".");  // the chooser is the main window itself
        own->call({"wm", "deiconify", "."});
    }
    tk::Interp& in = win->interp();
    win->title(ctx.title);
    win->not_resizable();

    std::optional<std::string> chosen;
    const Scale px(in);
    const auto frame = tk::Widget::create(in, "ttk::frame", win->path(), "frame", {"-padding", px(24)});
    frame.grid({"-row", 0, "-column", 0});
    // The heading stays Russian whatever the current language.
    tk::Widget::create(in, "ttk::label", frame.path(), "heading",
                       {"-text", i18n::t("choose_language", "ru"), "-font", tk::font(12)})
        .grid({"-row", 0, "-column", 0, "-columnspan", 2, "-pady", tk::Word::list({0, px(16)})});
    int column = 0;
    for (std::string_view code : i18n::LANGUAGES) {
        const auto pick = [&chosen, &win, code] {
            chosen = std::string(code);
            win->destroy();
        };
        std::string key = "language_";
        key += code;
        tk::Widget::create(in, "ttk::button", frame.path(), code,
                           {"-text", i18n::t(key, code), "-width", 16, "-command", in.command(pick)})
            .grid({"-row", 1, "-column", column++, "-padx", px(6)});
    }
    std::string current = frame.path() + "." + ctx.language();
    if (!in.exists(current)) current = frame.path() + "." + std::string(i18n::LANGUAGES.front());
    tk::use_keyboard(
        *win, [&win] { win->destroy(); }, current);
    try {
        detail::center(ctx, *win);
        if (own)
            own->mainloop();
        else
            in.wait_window(win->path());
    } catch (...) {
        detail::destroy_quietly(*win);
        throw;
    }
    return chosen;
}

}  // namespace ui
