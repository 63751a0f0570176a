// Synthetic shipping waybills for the tests and the benchmarks: one-page PDFs shaped like the ones
// marketplace systems hand out (Cyrillic text in an embedded per-file font subset, a
// Code 128 barcode drawn as filled rectangles, a small raster logo whose stream bytes
// are the same in every file, lines and boxes). A4 sheets and 105 x 148 mm labels.
//
// Everything here is deterministic: the same seed and index give the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace workload {

enum class PageSize { a4, a6 };

// Page size in points (1/72 inch): A4 is 595.28 x 841.89, A6 105 x 148 mm.
struct PageDims {
    double width;
    double height;
};
PageDims page_dims(PageSize size) noexcept;

// One generated waybill: the file name it would carry in a marketplace archive (UTF-8,
// no folders, ends in ".pdf") and the complete PDF file.
struct Waybill {
    std::string file_name;
    std::string pdf;
};

// Code 128 (code set C) bar and space widths in modules, starting with a bar, for a
// string of decimal digits; an odd count gets a leading '0'. Includes the start code,
// the mod-103 check symbol and the stop pattern. Throws diag::InvalidValue for
// anything but digits or for an empty string.
std::vector<int> code128c_modules(const std::string& digits);

// Variations of the file structure that real waybills show; what the page prints
// stays the same but for the stamp.
struct WaybillOptions {
    int content_streams = 1;    // the page content split into this many streams (a /Contents array)
    bool transparency = false;  // a half-transparent stamp drawn under a page transparency group
};

// Makes waybills with the process's MuPDF context (pdf::mupdf_context), so on one
// thread only. Holds the DejaVu fonts read from `font_dir` (DejaVuSans.ttf and
// DejaVuSans-Bold.ttf) and the logo image.
class WaybillFactory {
public:
    // Throws diag::FileNotFound when a font file is missing, diag::RuntimeError when
    // MuPDF cannot be started.
    explicit WaybillFactory(const std::filesystem::path& font_dir = "/usr/share/fonts/truetype/dejavu");
    ~WaybillFactory();
    WaybillFactory(const WaybillFactory&) = delete;
    WaybillFactory& operator=(const WaybillFactory&) = delete;

    // The `index`-th waybill (0-based) of the set made from `seed`. Order ids are
    // distinct within one seed for every index below 900 000 000, so file names never
    // repeat within a set. Throws diag::RuntimeError when MuPDF or the subsetter fails.
    Waybill make(std::uint64_t seed, std::uint64_t index, PageSize size, const WaybillOptions& options = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Page size of the `index`-th waybill when every `a4_every`-th one is A4 (the 5th,
// 10th, ... for 5); 0 means A6 only, 1 means A4 only.
PageSize page_size_for(std::uint64_t index, unsigned a4_every) noexcept;

// Writes `files` (each a path to an existing file, stored under its own file name) into a
// new ZIP archive at `archive`, Deflate-compressed, names flagged UTF-8 (bit 11), all
// with the same fixed modification time so that equal inputs give equal archives.
// Replaces an existing archive. Throws diag::FileNotFound naming a missing input (before
// anything is written), diag::RuntimeError on any libzip failure.
void write_zip(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& files);

}  // namespace workload
