// Sheet layout and the merge engine: writes one PDF from an ordered list of source
// PDFs, either one source page per sheet (layout 1) or 4, 6 or 9 source pages scaled
// into a grid on portrait A4 sheets.
//
// Units are PDF points (1/72 inch). Rectangles use MuPDF's page space: origin at the
// top-left corner of the sheet, x to the right, y downwards. Paths are UTF-8.
// Every function here runs on the thread that uses the MuPDF context.
#pragma once

#include <array>
#include <filesystem>
#include <vector>

namespace pdf {

inline constexpr double A4_W = 595.275590551;  // 210 mm
inline constexpr double A4_H = 841.88976378;   // 297 mm
inline constexpr double SHEET_MARGIN = 12;     // blank border on all four sides of a sheet
inline constexpr double SHEET_GAP = 7;         // blank space between neighbouring cells
// The layouts, in the order every list of layouts follows.
inline constexpr std::array<int, 4> SUPPORTED_NUP{1, 4, 6, 9};

struct Grid {
    int cols;
    int rows;
};

// Columns and rows of a layout: 4 -> 2x2, 6 -> 2x3, 9 -> 3x3, any other value -> 1x1.
// Does not throw.
Grid get_grid(int nup);

struct CellSize {
    double width;
    double height;
};

// Size of one cell of the layout's grid on an A4 sheet, margins and gaps taken off.
// Does not throw.
CellSize cell_size(int nup);

struct Rect {
    double x0;
    double y0;
    double x1;
    double y1;
};

// The cell at `index` (0-based, row by row from the top-left) of the layout's grid on an
// A4 sheet. Throws diag::InvalidValue when index is outside 0 .. cols*rows-1.
Rect cell_rect(int nup, int index);

// One page of one source PDF: its file and its 0-based page index.
struct PageItem {
    std::filesystem::path pdf_path;
    int page_index;
};

// Every page of every source, in source order and page order. Opens each file once.
// Throws diag::RuntimeError with MuPDF's message when a file cannot be opened.
std::vector<PageItem> collect_pages(const std::vector<std::filesystem::path>& pdf_files);

struct MergeCounts {
    int total_pages;   // source pages read
    int final_sheets;  // pages of the written file
};

// Layout 1: every page of every source, in order, copied as it is (its own size,
// rotation, boxes and content) onto a sheet of its own. Identical objects that the
// sources bring along (fonts, images) are stored once. `output_path` must not exist
// yet; it is written in one step at the end: on any failure (a source that cannot be
// read, a file that cannot be written) nothing is left at output_path and
// diag::RuntimeError carries MuPDF's or the file system's message.
MergeCounts merge_1up(const std::vector<std::filesystem::path>& pdf_files,
                      const std::filesystem::path& output_path);

// Layouts 4, 6 and 9: the source pages, in order, fill the cells of portrait A4 sheets
// row by row. Each page as a viewer shows it (its /Rotate, CropBox and MediaBox origin
// applied) is scaled by one factor to the largest size that fits its cell and centred
// in it; nothing is rotated to fit and nothing is cut away. A page without content
// leaves its cell blank. Failures as for merge_1up; diag::InvalidValue when nup is not
// 4, 6 or 9.
MergeCounts merge_nup(const std::vector<std::filesystem::path>& pdf_files,
                      const std::filesystem::path& output_path, int nup);

// merge_1up when nup is 1, merge_nup otherwise. Throws diag::InvalidValue when nup is
// not one of SUPPORTED_NUP; otherwise as the merge it runs.
MergeCounts merge_selected(const std::vector<std::filesystem::path>& pdf_files,
                           const std::filesystem::path& output_path, int nup);

}  // namespace pdf
