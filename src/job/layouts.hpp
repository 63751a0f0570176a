// The layouts a seller is offered (the chooser's buttons, the right-click menu's
// entries) and their names. The grids themselves are the engine's (pdf/geometry.hpp).
#pragma once

#include <string>
#include <string_view>

#include "pdf/geometry.hpp"

namespace job {

// 1, 4, 6, 9 pages per sheet, in this order; every list of layouts follows it.
using pdf::SUPPORTED_NUP;

// True when `nup` is one of SUPPORTED_NUP. Does not throw.
using pdf::is_supported_layout;

// Display name of a layout in a language ("4 на лист (2x2)"); an unknown layout is
// named as layout 1.
std::string mode_name(int nup, std::string_view lang);

}  // namespace job
