// Sheet geometry: the layouts, their grids on a portrait A4 sheet, and the placement of a
// page in a cell. Pure data and arithmetic; nothing here touches MuPDF or a file.
//
// Units are PDF points (1/72 inch). Rectangles (Rect) use page space: origin at the
// top-left corner of the sheet, x to the right, y downwards. Does not throw unless said.
#pragma once

#include <array>
#include <string>

namespace pdf {

inline constexpr double A4_W = 595.275590551;  // 210 mm
inline constexpr double A4_H = 841.88976378;   // 297 mm
inline constexpr double SHEET_MARGIN = 12;     // blank border on all four sides of a sheet
inline constexpr double SHEET_GAP = 7;         // blank space between neighbouring cells
// The layouts, in the order every list of layouts follows.
inline constexpr std::array<int, 4> SUPPORTED_NUP{1, 4, 6, 9};

// True when `nup` is one of SUPPORTED_NUP.
bool is_supported_layout(int nup) noexcept;

// True for the layouts that place pages in a grid: 4, 6 and 9.
bool is_grid_layout(int nup) noexcept;

struct Grid {
    int cols;
    int rows;
};

// Columns and rows of a layout: 4 -> 2x2, 6 -> 2x3, 9 -> 3x3, any other value -> 1x1.
Grid get_grid(int nup) noexcept;

struct CellSize {
    double width;
    double height;
};

// Size of one cell of the layout's grid on an A4 sheet, margins and gaps taken off.
CellSize cell_size(int nup) noexcept;

struct Rect {
    double x0;
    double y0;
    double x1;
    double y1;
};

// The cell at `index` (0-based, row by row from the top-left) of the layout's grid on an
// A4 sheet. Throws diag::InvalidValue when index is outside 0 .. cols*rows-1.
Rect cell_rect(int nup, int index);

// An affine transform as PDF writes it: [a b c d e f] maps (x, y) to
// (a x + c y + e, b x + d y + f).
struct Matrix {
    double a, b, c, d, e, f;
};

// The transform from a source page's PDF space (y up) into the sheet's PDF space (y
// up, origin at the sheet's bottom-left corner) that shows the page, as a viewer shows
// it, in `cell` (page space of the sheet). `page_ctm` maps the page's PDF space to its
// own top-left page space (MediaBox origin, CropBox and /Rotate applied, as MuPDF's
// pdf_page_obj_transform gives it) and `visible` is the visible box in the page's PDF
// space. The page is scaled by one factor, the largest at which it fits the cell, and
// its centre put on the cell's centre; nothing is turned to fit and nothing is cut.
// A visible box without area gives a transform that scales by 0.
Matrix place_in_cell(Rect visible, Matrix page_ctm, Rect cell) noexcept;

// A number as PDF content and test output write it: fixed notation with `decimals`
// digits after the point ("-0.5000" for 4). Does not throw except std::bad_alloc.
std::string format_number(double value, int decimals);

}  // namespace pdf
