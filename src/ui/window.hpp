// What every window shares (centring, the program icon, the support link), the mode
// chooser, the wait window around a merge job, and the help page. The program's title,
// language, icon and help page come from its context. Texts are UTF-8; sizes are pixels.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "job/result.hpp"
#include "platform/claims.hpp"
#include "product/context.hpp"
#include "ui/tk.hpp"

namespace ui {

namespace fs = std::filesystem;

using product::TELEGRAM_URL;

// The display's scale for the windows' fixed sizes (pixels, paddings, wrap lengths),
// which are given for 96 pixels per inch, Windows' 100 %: the display's pixels per inch
// over 96, in Windows' steps of a quarter (125 %, 150 %, 200 %, ...), never below 1.
// Fonts are sized in points and grow with the display by themselves; a window of fixed
// pixels would cut their text at 150 %.
class Scale {
public:
    // The scale of the display `in` shows its windows on; 1 when it cannot be asked.
    explicit Scale(tk::Interp& in);
    explicit Scale(double factor) : factor_(factor) {}
    // `pixels` at 96 pixels per inch, on this display (rounded to the nearest pixel).
    int operator()(int pixels) const;
    double factor() const { return factor_; }

    // The scale for a display of `pixels_per_inch`.
    static double for_density(double pixels_per_inch);

private:
    double factor_ = 1.0;
};

// How far each further merge's windows stand off the previous one's, right and down,
// pixels at 96 per inch: the title bar and the left edge below stay in sight.
inline constexpr int WINDOW_STEP = 36;

// Gives `win` the program icon, then sets its geometry to width x height centred on the
// screen: x = max(0, (screen width - width) / 2), y likewise, fractions dropped, then
// moved ctx.window_step steps of WINDOW_STEP right and down as far as the screen allows.
// Without both sizes the window's current size (from its geometry string) is kept. Never
// throws on account of the toolkit: a failure leaves the window as it is.
void center_window(const product::Context& ctx, const tk::Widget& win, std::optional<int> width = std::nullopt,
                   std::optional<int> height = std::nullopt);

// Puts the program icon on `win` (icon::apply with ctx.icon_file()).
void set_icon(const product::Context& ctx, const tk::Widget& win);

namespace icon {

// Hands `ico` to the window's iconbitmap (Windows takes the .ico there); on X11,
// which cannot show an .ico, also puts the PNG beside it on the window (iconphoto).
// Both as the interpreter's default, so the windows it makes later (message boxes, the
// file dialog) carry the icon too. Every failure is swallowed: the window keeps the
// default icon.
void apply(const tk::Widget& window, const fs::path& ico) noexcept;

}  // namespace icon

// The mode chooser: a window under `root` with one button per layout (1, 4, 6, 9),
// which says how many archives it merges when `archives` is more than one.
// Runs root's event loop until a button is pressed (returns its layout) or the window
// is closed (returns none). The window is gone afterwards; `root` stays.
std::optional<int> simple_choice(const product::Context& ctx, tk::Interp& root, int archives = 1);

// The title of the windows of ctx's archive: the program's title, and when it is one
// of several, its place among them ("Tarvo PDF Mergalo — архив 1 из 2").
std::string archive_window_title(const product::Context& ctx, std::string_view lang);

// The place of this process's windows among those of merges running at once (several
// archives picked in a file manager start a process each): the lowest of a few per-user
// slots that no live process holds, held while the object lives. A slot is a lock file
// "<code>-window-<n>.lock" in `folder`, which the system lets go when the process ends
// in any way. Never throws: when every slot is taken or none can be opened, step 0.
class WindowSlot {
public:
    static constexpr int SLOTS = 8;
    WindowSlot(const fs::path& folder, std::string_view code);
    // The slot's number: how many steps the windows stand off the centre.
    int step() const { return step_; }

private:
    std::unique_ptr<platform::FileLock> lock_;
    int step_ = 0;
};

// Opens ctx.help_file() in the default browser when it exists, else TELEGRAM_URL.
// Reports nothing.
void open_help(const product::Context& ctx);

namespace detail {

// "WxH+X+Y" for a window of width x height centred on a screen of sw x sh, then moved
// `shift` pixels right and down, but never past the screen's right or bottom edge (nor
// left of the centred place).
std::string centered_geometry(int width, int height, int screen_width, int screen_height, int shift = 0);

// Width and height from the size part of a geometry string ("420x150+3+4" -> 420, 150);
// none unless it is exactly two whole numbers around one "x".
std::optional<std::pair<int, int>> parse_size(std::string_view geometry);

// Destroys a window if it still exists; never throws.
void destroy_quietly(const tk::Widget& win) noexcept;

}  // namespace detail

}  // namespace ui
