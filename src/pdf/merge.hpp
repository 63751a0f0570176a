// The merge engine: writes one PDF from an ordered list of source PDFs, either one
// source page per sheet (layout 1) or 4, 6 or 9 source pages scaled into a grid on
// portrait A4 sheets (the grid is in pdf/geometry.hpp).
//
// Paths are UTF-8.
// Every function here runs on the thread that uses the MuPDF context.
#pragma once

#include <filesystem>
#include <vector>

#include "pdf/geometry.hpp"

namespace pdf {

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
