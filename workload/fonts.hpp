// The waybill generator's fonts: the TrueType faces text is measured with, the per-file
// subsets made from them, and the glyph ids of such a subset. Shared by the drawing
// (canvas.cpp, pages.cpp), the content (content.cpp) and the factory (waybill.cpp); not
// part of the generator's interface, which is workload/waybill.hpp.
//
// Text is UTF-8 throughout. HarfBuzz never throws: its failures come back as empty
// objects, which the functions here turn into diag::RuntimeError where they matter.
#pragma once

#include <hb.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace workload::detail {

struct HbBlobDrop {
    void operator()(hb_blob_t* b) const noexcept { hb_blob_destroy(b); }
};
struct HbFaceDrop {
    void operator()(hb_face_t* f) const noexcept { hb_face_destroy(f); }
};
struct HbFontDrop {
    void operator()(hb_font_t* f) const noexcept { hb_font_destroy(f); }
};
using HbBlob = std::unique_ptr<hb_blob_t, HbBlobDrop>;
using HbFace = std::unique_ptr<hb_face_t, HbFaceDrop>;
using HbFont = std::unique_ptr<hb_font_t, HbFontDrop>;

// The characters of `utf8`. Throws diag::RuntimeError when it is not valid UTF-8.
std::u32string to_utf32(std::string_view utf8);

// One TrueType face for measuring text and for making per-file subsets.
class FaceSource {
public:
    // Throws diag::FileNotFound when `file` is missing, diag::RuntimeError when it
    // cannot be read.
    FaceSource(const std::filesystem::path& file, std::string postscript_name);

    const std::string& name() const noexcept { return name_; }

    // Advance width of `text` in points at `size` points; unmapped characters count as 0.
    double width(std::string_view text, double size) const;

    // A TrueType subset holding the glyphs of `chars` (plus .notdef), without the
    // layout tables a PDF viewer never reads, as font file bytes. Throws
    // diag::RuntimeError when the subsetter fails.
    std::string subset(const std::set<char32_t>& chars) const;

private:
    std::string name_;
    HbBlob blob_;
    HbFace face_;
    HbFont font_;
    unsigned int units_per_em_ = 1000;
};

// Glyph ids of a subset font file, looked up by character.
class SubsetCmap {
public:
    // Borrows `font_file`, which must outlive this object.
    explicit SubsetCmap(const std::string& font_file);

    // The glyph id of `c`, 0 (.notdef) when the subset does not hold it.
    unsigned int glyph(char32_t c) const noexcept;

private:
    HbBlob blob_;  // borrows the caller's bytes, which outlive this object
    HbFace face_;
    HbFont font_;
};

}  // namespace workload::detail
