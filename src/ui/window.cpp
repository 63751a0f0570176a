#include "ui/window.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include "i18n/catalogue.hpp"
#include "job/layouts.hpp"
#include "job/output_names.hpp"
#include "platform/native.hpp"
#include "platform/platform.hpp"

namespace ui {

namespace {

std::optional<int> whole_number(std::string_view s) {
    int value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

}  // namespace

namespace detail {

std::string centered_geometry(int width, int height, int screen_width, int screen_height, int shift) {
    const auto place = [shift](int size, int screen) {
        const int centred = std::max(0, (screen - size) / 2);
        return std::max(centred, std::min(centred + shift, screen - size));
    };
    const int x = place(width, screen_width);
    const int y = place(height, screen_height);
    return std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" + std::to_string(y);
}

std::optional<std::pair<int, int>> parse_size(std::string_view geometry) {
    const std::string_view size = geometry.substr(0, geometry.find('+'));
    const auto x = size.find('x');
    if (x == std::string_view::npos || size.find('x', x + 1) != std::string_view::npos) return std::nullopt;
    auto w = whole_number(size.substr(0, x));
    auto h = whole_number(size.substr(x + 1));
    if (!w || !h) return std::nullopt;
    return std::pair{*w, *h};
}

void destroy_quietly(const tk::Widget& win) noexcept {
    try {
        if (win.interp().exists(win.path())) win.destroy();
    } catch (...) {}
}

}  // namespace detail

double Scale::for_density(double pixels_per_inch) {
    // Quarter steps: an X server that reports 99.9 pixels per inch for a 96 one stays
    // at 1, as Windows' own steps do.
    const double steps = std::round(pixels_per_inch / 96.0 * 4.0) / 4.0;
    return std::isfinite(steps) && steps > 1.0 ? steps : 1.0;
}

Scale::Scale(tk::Interp& in) {
    try {
        factor_ = for_density(std::stod(in.call({"winfo", "fpixels", ".", "1i"})));
    } catch (const std::exception&) {
        factor_ = 1.0;  // sizes as given: too small at best, never broken
    }
}

int Scale::operator()(int pixels) const { return static_cast<int>(std::lround(pixels * factor_)); }

void center_window(const product::Context& ctx, const tk::Widget& win, std::optional<int> width,
                   std::optional<int> height) {
    set_icon(ctx, win);
    try {
        tk::Interp& in = win.interp();
        in.update_idletasks();
        if (!width || !height) {
            auto size = detail::parse_size(in.call({"wm", "geometry", win.path()}));
            if (!size) return;
            std::tie(width, height) = *size;
        }
        const int sw = in.call_int({"winfo", "screenwidth", win.path()});
        const int sh = in.call_int({"winfo", "screenheight", win.path()});
        const int shift = ctx.window_step > 0 ? Scale(in)(WINDOW_STEP) * ctx.window_step : 0;
        in.call({"wm", "geometry", win.path(), detail::centered_geometry(*width, *height, sw, sh, shift)});
    } catch (const std::exception&) {
        // Centring is a courtesy: the window stays where and as large as it is.
    }
}

void set_icon(const product::Context& ctx, const tk::Widget& win) { icon::apply(win, ctx.icon_file()); }

namespace icon {

void apply(const tk::Widget& window, const fs::path& ico) noexcept {
    try {
        // -default: the windows made later in this interpreter (message boxes, the file
        // dialog) carry the icon too.
        window.interp().call({"wm", "iconbitmap", window.path(), "-default", ico});
    } catch (...) {}
    if (platform::WINDOWS) return;  // Windows shows the .ico itself
    try {
        if (ico.empty()) return;
        tk::Interp& in = window.interp();
        // One photo per interpreter, read on first use.
        const std::string image = "mergalo_icon";
        if (in.call({"lsearch", "-exact", in.call({"image", "names"}), image}) == "-1")
            in.call({"image", "create", "photo", image, "-file", fs::path(ico).replace_extension(".png")});
        in.call({"wm", "iconphoto", window.path(), "-default", image});
    } catch (...) {}
}

}  // namespace icon

std::string archive_window_title(const product::Context& ctx, std::string_view lang) {
    if (ctx.archive_count <= 1) return ctx.title;
    return ctx.title + " — " +
           i18n::t("window_archive_of", lang, {{"index", ctx.archive_index}, {"count", ctx.archive_count}});
}

std::optional<int> simple_choice(const product::Context& ctx, tk::Interp& root, int archives) {
    const auto win = tk::Widget::create(root, "toplevel", ".", "choice");
    win.title(ctx.title);
    win.not_resizable();
    const Scale px(root);
    const bool several = archives > 1;
    // The line that counts the archives takes two lines of its own.
    center_window(ctx, win, px(320), px(several ? 272 : 220));

    std::optional<int> choice;
    const std::string lang = ctx.language();
    if (several)
        tk::Widget::create(root, "label", win.path(), "archives",
                           {"-text", i18n::t("choose_mode_archives", lang, {{"count", archives}}), "-font",
                            tk::font(11), "-justify", "center", "-wraplength", px(290)})
            .pack({"-pady", tk::Word::list({px(12), 0})});
    tk::Widget::create(root, "label", win.path(), "prompt",
                       {"-text", i18n::t("choose_mode", lang), "-font", tk::font(11)})
        .pack({"-pady", px(12)});
    for (int nup : job::SUPPORTED_NUP) {
        const auto pick = [&root, &win, &choice, nup] {
            choice = nup;
            win.destroy();
            root.quit();
        };
        tk::Widget::create(root, "button", win.path(), "mode" + std::to_string(nup),
                           {"-text", job::mode_name(nup, lang), "-width", 24, "-command", root.command(pick)})
            .pack({"-pady", px(4)});
    }
    const auto cancel = [&root, &win] {
        win.destroy();
        root.quit();
    };
    win.on_close(cancel);
    tk::use_keyboard(win, cancel, win.path() + ".mode" + std::to_string(job::SUPPORTED_NUP.front()));
    try {
        root.mainloop();
    } catch (...) {
        detail::destroy_quietly(win);
        throw;
    }
    detail::destroy_quietly(win);  // "." was destroyed under the loop: nothing left to do
    return choice;
}

WindowSlot::WindowSlot(const fs::path& folder, std::string_view code) {
    for (int i = 0; i < SLOTS; ++i) {
        try {
            std::string name(code);
            name += "-window-" + std::to_string(i) + ".lock";
            lock_ = std::make_unique<platform::FileLock>(folder / name, std::chrono::milliseconds(0));
            step_ = i;
            return;
        } catch (const std::exception&) {
            // Held by a live process (or not ours to open): the next one.
        }
    }
}

void open_help(const product::Context& ctx) {
    const fs::path page = ctx.help_file();
    std::error_code ec;
    if (fs::exists(page, ec)) {
        fs::path absolute = fs::canonical(page, ec);
        platform::shell_open(platform::utf8(ec ? page : absolute));
    } else {
        platform::shell_open(std::string(TELEGRAM_URL));
    }
}

}  // namespace ui
