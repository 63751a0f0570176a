#include "pdf/geometry.hpp"

#include <algorithm>
#include <charconv>

#include "diag/errors.hpp"

namespace pdf {

bool is_supported_layout(int nup) noexcept { return std::ranges::find(SUPPORTED_NUP, nup) != SUPPORTED_NUP.end(); }

bool is_grid_layout(int nup) noexcept { return nup == 4 || nup == 6 || nup == 9; }

Grid get_grid(int nup) noexcept {
    switch (nup) {
        case 4:
            return {2, 2};
        case 6:
            return {2, 3};
        case 9:
            return {3, 3};
        default:
            return {1, 1};
    }
}

CellSize cell_size(int nup) noexcept {
    const Grid g = get_grid(nup);
    return {(A4_W - SHEET_MARGIN * 2 - SHEET_GAP * (g.cols - 1)) / g.cols,
            (A4_H - SHEET_MARGIN * 2 - SHEET_GAP * (g.rows - 1)) / g.rows};
}

Rect cell_rect(int nup, int index) {
    const Grid g = get_grid(nup);
    if (index < 0 || index >= g.cols * g.rows)
        throw diag::InvalidValue("cell " + std::to_string(index) + " is outside the grid of layout " +
                                 std::to_string(nup));
    const CellSize size = cell_size(nup);
    const int col = index % g.cols;
    const int row = index / g.cols;
    const double x0 = SHEET_MARGIN + col * (size.width + SHEET_GAP);
    const double y0 = SHEET_MARGIN + row * (size.height + SHEET_GAP);
    return {x0, y0, x0 + size.width, y0 + size.height};
}

namespace {

// The smallest rectangle holding the four transformed corners of `r`.
Rect transform_rect(Rect r, const Matrix& m) {
    const double xs[] = {r.x0, r.x1};
    const double ys[] = {r.y0, r.y1};
    Rect out{1e300, 1e300, -1e300, -1e300};
    for (double x : xs) {
        for (double y : ys) {
            const double tx = m.a * x + m.c * y + m.e;
            const double ty = m.b * x + m.d * y + m.f;
            out = {std::min(out.x0, tx), std::min(out.y0, ty), std::max(out.x1, tx), std::max(out.y1, ty)};
        }
    }
    return out;
}

}  // namespace

Matrix place_in_cell(Rect visible, Matrix page_ctm, Rect cell) noexcept {
    // The page as a viewer shows it, in its own top-left page space.
    const Rect r = transform_rect(visible, page_ctm);
    const double w = r.x1 - r.x0;
    const double h = r.y1 - r.y0;
    const double cw = cell.x1 - cell.x0;
    const double ch = cell.y1 - cell.y0;
    const double s = w > 0 && h > 0 ? std::min(cw / w, ch / h) : 0;
    // Scale, then move the page's centre onto the cell's centre (sheet page space)...
    const double tx = cell.x0 + (cw - s * w) / 2 - s * r.x0;
    const double ty = cell.y0 + (ch - s * h) / 2 - s * r.y0;
    // ...and flip into the sheet's PDF space, whose origin is the bottom-left corner.
    const Matrix& m = page_ctm;
    return Matrix{s * m.a, -s * m.b, s * m.c, -s * m.d, s * m.e + tx, A4_H - (s * m.f + ty)};
}

Matrix appearance_matrix(Rect rect, Rect bbox, Matrix matrix) noexcept {
    const Rect t = transform_rect(bbox, matrix);
    const double w = t.x1 - t.x0;
    const double h = t.y1 - t.y0;
    if (!(w > 0) || !(h > 0)) return Matrix{0, 0, 0, 0, 0, 0};
    const double sx = (rect.x1 - rect.x0) / w;
    const double sy = (rect.y1 - rect.y0) / h;
    return Matrix{sx, 0, 0, sy, rect.x0 - sx * t.x0, rect.y0 - sy * t.y0};
}

std::string format_number(double value, int decimals) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, res.ptr);
}

}  // namespace pdf
