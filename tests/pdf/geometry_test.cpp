#include "pdf/geometry.hpp"

#include <gtest/gtest.h>

#include <string>

#include "diag/errors.hpp"
#include "support/geometry_text.hpp"

namespace {

using fixtures::fmt4;
using fixtures::show;

TEST(SheetGeometry, GridsCellSizesAndCellRectangles) {
    struct Row {
        int nup, index;
        const char* wanted;
    };
    const Row rows[] = {
        {4, 0, "12 12 294.1378 417.4449"},
        {4, 1, "301.1378 12 583.2756 417.4449"},
        {4, 2, "12 424.4449 294.1378 829.8898"},
        {4, 3, "301.1378 424.4449 583.2756 829.8898"},
        {6, 0, "12 12 294.1378 279.9633"},
        {6, 1, "301.1378 12 583.2756 279.9633"},
        {6, 2, "12 286.9633 294.1378 554.9265"},
        {6, 3, "301.1378 286.9633 583.2756 554.9265"},
        {6, 4, "12 561.9265 294.1378 829.8898"},
        {6, 5, "301.1378 561.9265 583.2756 829.8898"},
        {9, 0, "12 12 197.7585 279.9633"},
        {9, 1, "204.7585 12 390.5171 279.9633"},
        {9, 2, "397.5171 12 583.2756 279.9633"},
        {9, 3, "12 286.9633 197.7585 554.9265"},
        {9, 4, "204.7585 286.9633 390.5171 554.9265"},
        {9, 5, "397.5171 286.9633 583.2756 554.9265"},
        {9, 6, "12 561.9265 197.7585 829.8898"},
        {9, 7, "204.7585 561.9265 390.5171 829.8898"},
        {9, 8, "397.5171 561.9265 583.2756 829.8898"},
        {1, 0, "12 12 583.2756 829.8898"},
    };
    for (const Row& r : rows) {
        const std::string got = show(pdf::cell_rect(r.nup, r.index));
        EXPECT_EQ(got, r.wanted) << "cell_rect(" << r.nup << ", " << r.index << "): got " << got << ", wanted "
                                 << r.wanted;
    }

    struct SizeRow {
        int nup;
        const char* grid;
        const char* size;
    };
    const SizeRow sizes[] = {
        {4, "2x2", "282.1378 405.4449"}, {6, "2x3", "282.1378 267.9633"}, {9, "3x3", "185.7585 267.9633"},
        {1, "1x1", "571.2756 817.8898"}, {2, "1x1", "571.2756 817.8898"}, {5, "1x1", "571.2756 817.8898"},
        {0, "1x1", "571.2756 817.8898"},
    };
    for (const SizeRow& s : sizes) {
        const pdf::Grid g = pdf::get_grid(s.nup);
        const pdf::CellSize c = pdf::cell_size(s.nup);
        const std::string grid = std::to_string(g.cols) + "x" + std::to_string(g.rows);
        const std::string size = fmt4(c.width) + " " + fmt4(c.height);
        EXPECT_EQ(grid, s.grid) << "get_grid(" << s.nup << "): got " << grid << ", wanted " << s.grid;
        EXPECT_EQ(size, s.size) << "cell_size(" << s.nup << "): got " << size << ", wanted " << s.size;
    }
    // Exact values, and the outer edges at the sheet size less the margin.
    EXPECT_NEAR(pdf::cell_size(9).width, 185.75853018366, 1e-9);
    EXPECT_NEAR(pdf::cell_size(6).height, 267.96325459333, 1e-9);
    EXPECT_NEAR(pdf::cell_rect(9, 8).x1, pdf::A4_W - 12, 1e-9);
    EXPECT_NEAR(pdf::cell_rect(9, 8).y1, pdf::A4_H - 12, 1e-9);
    EXPECT_THROW(pdf::cell_rect(4, 4), diag::InvalidValue);
    EXPECT_THROW(pdf::cell_rect(9, -1), diag::InvalidValue);
}

TEST(SheetGeometry, LayoutsInTheList) {
    for (int nup : {1, 4, 6, 9}) EXPECT_TRUE(pdf::is_supported_layout(nup)) << nup;
    for (int nup : {-4, 0, 2, 3, 5, 8, 10, 16}) EXPECT_FALSE(pdf::is_supported_layout(nup)) << nup;
    for (int nup : {4, 6, 9}) EXPECT_TRUE(pdf::is_grid_layout(nup)) << nup;
    for (int nup : {0, 1, 2, 5}) EXPECT_FALSE(pdf::is_grid_layout(nup)) << nup;
}

// Where a page lands in its cell. `ctm` is the transform MuPDF gives for the page
// (pdf_page_obj_transform: y flipped, /Rotate applied, visible box moved to 0,0). Each
// row gives the matrix written into the sheet, the rectangle the page covers on the
// sheet (top-left origin) and where the page's PDF point (x0, y0), the bottom-left
// corner of the unturned page, ends up: it tells the page is turned as a viewer turns it.
TEST(SheetGeometry, PlaceInCellScalesByOneFactorAndCentresThePageAsAViewerShowsIt) {
    struct Row {
        const char* name;
        pdf::Rect visible;
        pdf::Matrix ctm;
        int nup, index;
        const char* matrix;
        const char* covers;
        const char* corner;
    };
    const Row rows[] = {
        {"portrait A4",
         {0, 0, 595.2756, 841.8898},
         {1, 0, 0, -1, 0, 841.8898},
         4,
         0,
         "0.474 0 0 0.474 12 427.6556",
         "12 15.2107 294.1378 414.2342",
         "12 414.2342"},
        {"landscape",
         {0, 0, 841.8898, 595.2756},
         {1, 0, 0, -1, 0, 595.2756},
         4,
         1,
         "0.3351 0 0 0.3351 301.1378 527.4216",
         "301.1378 114.9768 583.2756 314.4681",
         "301.1378 314.4681"},
        {"rotated 90: bottom-left turns to top-left",
         {0, 0, 595.2756, 841.8898},
         {0, 1, 1, 0, 0, 0},
         6,
         2,
         "0 -0.3351 0.3351 0 12 520.6906",
         "12 321.1992 294.1378 520.6906",
         "12 321.1992"},
        {"rotated 180: to top-right",
         {0, 0, 595.2756, 841.8898},
         {-1, 0, 0, 1, 595.2756, 0},
         6,
         3,
         "-0.3183 0 0 -0.3183 536.9412 554.9265",
         "347.4722 286.9633 536.9412 554.9265",
         "536.9412 286.9633"},
        {"rotated 270: to bottom-right",
         {0, 0, 595.2756, 841.8898},
         {0, -1, -1, 0, 841.8898, 595.2756},
         9,
         4,
         "0 0.2206 -0.2206 0 390.5171 355.2727",
         "204.7585 355.2727 390.5171 486.6171",
         "390.5171 486.6171"},
        {"media box off the origin",
         {-300, 500, 120, 1095},
         {1, 0, 0, -1, 300, 1095},
         9,
         4,
         "0.4423 0 0 0.4423 337.4432 68.2248",
         "204.7585 289.3659 390.5171 552.5238",
         "204.7585 552.5238"},
        {"crop box inside A4",
         {100, 200, 400, 600},
         {1, 0, 0, -1, -100, 600},
         4,
         3,
         "0.9405 0 0 0.9405 207.0919 -161.4613",
         "301.1378 439.0755 583.2756 815.2592",
         "301.1378 815.2592"},
        {"small label card, last cell of nine",
         {0, 0, 288, 144},
         {1, 0, 0, -1, 0, 144},
         9,
         8,
         "0.645 0 0 0.645 397.5171 99.542",
         "397.5171 649.4685 583.2756 742.3478",
         "397.5171 742.3478"},
        {"box without area: scaled away at the cell's centre",
         {10, 10, 10, 10},
         {1, 0, 0, -1, -10, 10},
         4,
         0,
         "0 0 0 0 153.0689 627.1673",
         "153.0689 214.7224 153.0689 214.7224",
         "153.0689 214.7224"},
    };
    for (const Row& r : rows) {
        const pdf::Matrix m = pdf::place_in_cell(r.visible, r.ctm, pdf::cell_rect(r.nup, r.index));
        // A point of the page's PDF space on the sheet, top-left origin.
        auto on_sheet = [&](double x, double y) {
            return std::pair{m.a * x + m.c * y + m.e, pdf::A4_H - (m.b * x + m.d * y + m.f)};
        };
        pdf::Rect covers{1e9, 1e9, -1e9, -1e9};
        for (double x : {r.visible.x0, r.visible.x1}) {
            for (double y : {r.visible.y0, r.visible.y1}) {
                const auto [sx, sy] = on_sheet(x, y);
                covers = {std::min(covers.x0, sx), std::min(covers.y0, sy), std::max(covers.x1, sx),
                          std::max(covers.y1, sy)};
            }
        }
        const auto [cx, cy] = on_sheet(r.visible.x0, r.visible.y0);
        EXPECT_EQ(show(m), r.matrix) << r.name << ": got " << show(m) << ", wanted " << r.matrix;
        EXPECT_EQ(show(covers), r.covers) << r.name << ": got " << show(covers) << ", wanted " << r.covers;
        EXPECT_EQ(fmt4(cx) + " " + fmt4(cy), r.corner) << r.name;
    }
}

TEST(SheetGeometry, FormatNumberWritesFixedDecimals) {
    EXPECT_EQ(pdf::format_number(0.5, 4), "0.5000");
    EXPECT_EQ(pdf::format_number(-12.345678, 6), "-12.345678");
    EXPECT_EQ(pdf::format_number(841.88976378, 2), "841.89");
    EXPECT_EQ(pdf::format_number(3, 0), "3");
}

}  // namespace
