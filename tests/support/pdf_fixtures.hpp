// PDFs made by the tests with MuPDF, and helpers that look into written PDFs.
//
// Each fixture page shows, in its visible box (CropBox, else MediaBox): a thin black
// frame along the box's edges, so the ink of a drawn page spans exactly its visible
// area; a filled square in the box's top-left corner (unrotated), which tells how the
// page is turned; and its label in Helvetica in the middle, which tells pages apart.
// With a crop box, small squares in the MediaBox corners lie outside the visible area.
// All helpers throw (diag::RuntimeError or std::runtime_error) on failure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pdf/merge.hpp"

namespace fixtures {

// A rectangle in a page's PDF space (origin bottom-left, y up), in points.
struct PdfBox {
    double x0;
    double y0;
    double x1;
    double y1;
};

struct Page {
    double width = 595.2756;   // MediaBox width, points
    double height = 841.8898;  // MediaBox height, points
    std::string label{};       // ASCII text drawn in the middle
    int rotate = 0;            // /Rotate
    double origin_x = 0;       // MediaBox lower-left corner
    double origin_y = 0;
    std::optional<PdfBox> crop_box{};  // /CropBox, in PDF space
    bool no_content = false;           // no /Contents at all (nothing drawn)
    bool split_content = false;        // the content in two streams (a /Contents array)
    bool image = false;                // also draw a small image, the same in every file
};

// Writes a PDF with the given pages (folders created).
void write_pdf(const std::filesystem::path& path, const std::vector<Page>& pages);
// The bytes of such a PDF.
std::string pdf_bytes(const std::vector<Page>& pages);

// Number of pages of a PDF.
int page_count(const std::filesystem::path& pdf);

// Size of a page as a viewer shows it (boxes and /Rotate applied), points.
struct Size {
    double width;
    double height;
};
Size page_size(const std::filesystem::path& pdf, int index);

// A line of text found on a page and the centre of its box in page space (top-left
// origin, y down, points).
struct TextSpot {
    std::string text;
    double x;
    double y;
};
std::vector<TextSpot> text_spots(const std::filesystem::path& pdf, int index);
// Labels found inside a rectangle of the page (by the centre of their line).
std::vector<std::string> texts_in(const std::vector<TextSpot>& spots, const pdf::Rect& r);

// A page rendered in gray, `zoom` pixels per point.
struct Raster {
    int width = 0;
    int height = 0;
    double zoom = 1;
    std::vector<unsigned char> gray;  // row by row, 0 black .. 255 white
    bool ink(int x, int y) const { return gray[static_cast<std::size_t>(y) * width + x] < 128; }
};
Raster render(const std::filesystem::path& pdf, int index, double zoom);

// The box, in points, around all ink inside `region` (points), or nothing when the
// region is blank.
std::optional<pdf::Rect> ink_box(const Raster& r, const pdf::Rect& region);
// Share (0..1) of inked pixels inside `region` (points).
double ink_share(const Raster& r, const pdf::Rect& region);

// The text of a page as a viewer extracts it (UTF-8, one line of text per line), or
// only the characters whose centre lies inside `region` (page space, points).
std::string page_text(const std::filesystem::path& pdf, int index,
                      const std::optional<pdf::Rect>& region = std::nullopt);

// The value at a "/"-separated key path from a page's dictionary (for example
// "Resources/XObject/Fm0/Group"), written as PDF syntax, or "" when there is none.
std::string dict_value(const std::filesystem::path& pdf, int index, const std::string& path);

// Counts the objects of a PDF whose dictionary has /Type (or /Subtype, for images)
// equal to `name`, e.g. "Font" or "Image".
int count_objects(const std::filesystem::path& pdf, const std::string& name);

// An ordinary PDF saved again with encryption (AES-256): a user password (needed to
// open it at all) and an owner password; an empty user password opens it without asking.
std::string encrypted_copy(const std::string& pdf, const std::string& user_password, const std::string& owner_password);

}  // namespace fixtures
