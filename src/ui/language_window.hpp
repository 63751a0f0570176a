// The language chooser: a small themed window with one button per language, each
// naming its language in that language, under a heading that is always Russian.
#pragma once

#include <optional>
#include <string>

#include "product/context.hpp"
#include "ui/tk.hpp"

namespace ui {

// Shows the chooser and returns the code of the pressed button ("ru" or "kk"), or none
// when the window was closed without a choice. With a `parent` window the chooser is its
// child and the wait keeps the parent's events flowing; without one the chooser runs on
// a Tk main window of its own, which is gone afterwards. Not modal. Without a display
// (no parent given and Tk cannot open a window) says so on standard error and returns
// none. Throws what the toolkit throws otherwise.
std::optional<std::string> choose_language_window(const product::Context& ctx, const tk::Widget* parent = nullptr);

namespace detail {

// Places the chooser (after giving it the icon): horizontally centred, one third of the
// free height from the top, at its natural size; no lower bound.
void center(const product::Context& ctx, const tk::Widget& window);

// "+X+Y" for a window of w x h on a screen of sw x sh by that rule.
std::string chooser_position(int width, int height, int screen_width, int screen_height);

}  // namespace detail

}  // namespace ui
