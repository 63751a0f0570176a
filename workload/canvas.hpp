// The page a waybill is drawn on, shared by the drawing of the label and the A4 note
// (pages.cpp) and the factory that turns it into a PDF (waybill.cpp); not part of the
// generator's interface, which is workload/waybill.hpp.
//
// Coordinates are points from the top-left corner, y down; the content stream is written
// in PDF space (y up). Text is kept as characters until the font subsets exist, because
// glyph ids are those of the subset. Text is UTF-8; a function given text that is not
// throws diag::RuntimeError.
#pragma once

#include <array>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "workload/fonts.hpp"
#include "workload/waybill.hpp"

namespace workload::detail {

// One millimetre in points.
constexpr double MM = 72.0 / 25.4;

enum FontId { REGULAR = 0, BOLD = 1 };

struct TextRun {
    FontId font;
    double size;
    double x;
    double y;  // PDF space baseline
    std::string text;
};

class Canvas {
public:
    // Borrows the faces, which outlive this object.
    Canvas(PageDims dims, const std::array<const FaceSource*, 2>& faces) : dims_(dims), faces_(faces) {}

    PageDims dims() const noexcept { return dims_; }

    double width(FontId font, double size, std::string_view s) const { return faces_[font]->width(s, size); }

    void text(double x, double baseline, FontId font, double size, std::string_view s);
    void text_right(double right, double baseline, FontId font, double size, std::string_view s);
    void text_center(double center, double baseline, FontId font, double size, std::string_view s);

    // Splits `s` at blanks into lines no wider than `max_width`; a single word wider
    // than that stays on its own line.
    std::vector<std::string> wrap(FontId font, double size, std::string_view s, double max_width) const;

    // Draws wrapped text from `top` (the first baseline is one size below) and returns
    // the y under the last line.
    double paragraph(double x, double top, FontId font, double size, std::string_view s, double max_width,
                     double leading = 1.25);

    void rect(double x, double y, double w, double h, double line_width);
    void fill(double x, double y, double w, double h, double gray);
    void line(double x1, double y1, double x2, double y2, double line_width);
    void dashed(double x1, double y, double x2);
    // The logo image, which the page's resources name /Im1.
    void logo(double x, double y, double w, double h);

    // Bars of a Code 128 symbol filling `w` x `h` at (x, y), one path for all bars.
    void barcode(double x, double y, double w, double h, const std::vector<int>& modules);

    const std::set<char32_t>& used(FontId font) const { return used_[font]; }

    // The content stream, glyph ids taken from the subset fonts (2-byte CIDs, Identity-H).
    std::string content(const std::array<const SubsetCmap*, 2>& cmaps) const;

private:
    std::string box(double x, double y, double w, double h) const;
    void raw(std::string s) { ops_.emplace_back(std::move(s)); }

    PageDims dims_;
    std::array<const FaceSource*, 2> faces_;
    std::vector<std::variant<std::string, TextRun>> ops_;
    std::array<std::set<char32_t>, 2> used_;
};

}  // namespace workload::detail
