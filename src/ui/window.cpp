#include "ui/window.hpp"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <vector>

#include "app/buildmode.hpp"
#include "app/folders.hpp"
#include "app/profile.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "pdf/geometry.hpp"
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

std::string app_title() { return app::profile::title(); }

std::string current_language() {
    try {
        return i18n::current_language(app::data_dir());
    } catch (const std::exception&) {
        return i18n::system_language();  // the data folder cannot be made: no stored choice
    }
}

namespace detail {

std::string centered_geometry(int width, int height, int screen_width, int screen_height) {
    const int x = std::max(0, (screen_width - width) / 2);
    const int y = std::max(0, (screen_height - height) / 2);
    return std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" +
           std::to_string(y);
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
    } catch (...) {
    }
}

}  // namespace detail

void center_window(const tk::Widget& win, std::optional<int> width, std::optional<int> height) {
    set_icon(win);
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
        in.call({"wm", "geometry", win.path(), detail::centered_geometry(*width, *height, sw, sh)});
    } catch (const std::exception&) {
        // Centring is a courtesy: the window stays where and as large as it is.
    }
}

void set_icon(const tk::Widget& win) { icon::apply(win); }

namespace icon {

std::string FILE_NAME() { return app::profile::icon_name(); }

fs::path icon_file() { return app::buildmode::bundle_dir() / "assets" / FILE_NAME(); }

void apply(const tk::Widget& window) noexcept {
    fs::path ico;
    try {
        ico = icon_file();
        // -default: the windows made later in this interpreter (message boxes, the file
        // dialog) carry the icon too.
        window.interp().call({"wm", "iconbitmap", window.path(), "-default", ico});
    } catch (...) {
    }
#ifndef _WIN32
    try {
        if (ico.empty()) return;
        tk::Interp& in = window.interp();
        // One photo per interpreter, read on first use.
        const std::string image = "mergalo_icon";
        if (in.call({"lsearch", "-exact", in.call({"image", "names"}), image}) == "-1")
            in.call({"image", "create", "photo", image, "-file", fs::path(ico).replace_extension(".png")});
        in.call({"wm", "iconphoto", window.path(), "-default", image});
    } catch (...) {
    }
#endif
}

}  // namespace icon

std::optional<int> simple_choice(tk::Interp& root) {
    const auto win = tk::Widget::create(root, "toplevel", ".", "choice");
    win.title(app_title());
    win.not_resizable();
    center_window(win, 320, 220);

    std::optional<int> choice;
    const std::string lang = current_language();
    tk::Widget::create(root, "label", win.path(), "prompt",
                       {"-text", i18n::t("choose_mode", lang), "-font", tk::font(11)})
        .pack({"-pady", 12});
    for (int nup : pdf::SUPPORTED_NUP) {
        const auto pick = [&root, &win, &choice, nup] {
            choice = nup;
            win.destroy();
            root.quit();
        };
        tk::Widget::create(root, "button", win.path(), "mode" + std::to_string(nup),
                           {"-text", app::mode_name(nup, lang), "-width", 24, "-command", root.command(pick)})
            .pack({"-pady", 4});
    }
    const auto cancel = [&root, &win] {
        win.destroy();
        root.quit();
    };
    win.on_close(cancel);
    tk::use_keyboard(win, cancel, win.path() + ".mode" + std::to_string(pdf::SUPPORTED_NUP.front()));
    try {
        root.mainloop();
    } catch (...) {
        detail::destroy_quietly(win);
        throw;
    }
    detail::destroy_quietly(win);  // "." was destroyed under the loop: nothing left to do
    return choice;
}

fs::path help_file() {
    const std::string lang = current_language();
    const fs::path folder = app::buildmode::bundle_dir() / "help";
    std::vector<std::string> names;
    if (lang != "ru") names.push_back("Instruction_" + lang + ".html");
    names.emplace_back("Instruction.html");
    for (const auto& name : names) {
        std::error_code ec;
        if (fs::exists(folder / name, ec)) return folder / name;
    }
    return folder / "Instruction.html";
}

void open_help() {
    const fs::path page = help_file();
    std::error_code ec;
    if (fs::exists(page, ec)) {
        fs::path absolute = fs::canonical(page, ec);
        platform::shell_open(platform::utf8(ec ? page : absolute));
    } else {
        platform::shell_open(std::string(TELEGRAM_URL));
    }
}

}  // namespace ui
