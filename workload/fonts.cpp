#include "workload/fonts.hpp"

#include <hb-subset.h>
#include <unicode/unistr.h>

#include "diag/errors.hpp"

namespace workload::detail {
namespace {

struct HbInputDrop {
    void operator()(hb_subset_input_t* i) const noexcept { hb_subset_input_destroy(i); }
};
using HbInput = std::unique_ptr<hb_subset_input_t, HbInputDrop>;

}  // namespace

std::u32string to_utf32(std::string_view utf8) {
    icu::UnicodeString u =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::u32string out(static_cast<std::size_t>(u.countChar32()), U'\0');
    UErrorCode status = U_ZERO_ERROR;
    u.toUTF32(reinterpret_cast<UChar32*>(out.data()), static_cast<int32_t>(out.size()), status);
    if (U_FAILURE(status)) throw diag::RuntimeError("text is not valid UTF-8");
    return out;
}

FaceSource::FaceSource(const std::filesystem::path& file, std::string postscript_name)
    : name_(std::move(postscript_name)) {
    if (!std::filesystem::is_regular_file(file)) throw diag::FileNotFound("font file not found: " + file.string());
    blob_.reset(hb_blob_create_from_file_or_fail(file.c_str()));
    if (!blob_) throw diag::RuntimeError("cannot read font file: " + file.string());
    face_.reset(hb_face_create(blob_.get(), 0));
    font_.reset(hb_font_create(face_.get()));
    units_per_em_ = hb_face_get_upem(face_.get());
}

double FaceSource::width(std::string_view text, double size) const {
    hb_position_t total = 0;
    for (char32_t c : to_utf32(text)) {
        hb_codepoint_t gid = 0;
        if (hb_font_get_nominal_glyph(font_.get(), c, &gid)) total += hb_font_get_glyph_h_advance(font_.get(), gid);
    }
    return size * total / units_per_em_;
}

std::string FaceSource::subset(const std::set<char32_t>& chars) const {
    HbInput input(hb_subset_input_create_or_fail());
    if (!input) throw diag::RuntimeError("font subsetter: out of memory");
    hb_set_t* unicodes = hb_subset_input_unicode_set(input.get());
    for (char32_t c : chars) hb_set_add(unicodes, c);
    hb_set_t* drop = hb_subset_input_set(input.get(), HB_SUBSET_SETS_DROP_TABLE_TAG);
    for (const char* tag : {"GSUB", "GPOS", "GDEF", "kern", "MATH", "FFTM"})
        hb_set_add(drop, hb_tag_from_string(tag, 4));
    HbFace sub(hb_subset_or_fail(face_.get(), input.get()));
    if (!sub) throw diag::RuntimeError("font subsetter failed for " + name_);
    HbBlob bytes(hb_face_reference_blob(sub.get()));
    unsigned int length = 0;
    const char* data = hb_blob_get_data(bytes.get(), &length);
    if (data == nullptr || length == 0) throw diag::RuntimeError("empty font subset for " + name_);
    return std::string(data, length);
}

SubsetCmap::SubsetCmap(const std::string& font_file)
    : blob_(hb_blob_create(font_file.data(), static_cast<unsigned int>(font_file.size()), HB_MEMORY_MODE_READONLY,
                           nullptr, nullptr)),
      face_(hb_face_create(blob_.get(), 0)),
      font_(hb_font_create(face_.get())) {}

unsigned int SubsetCmap::glyph(char32_t c) const noexcept {
    hb_codepoint_t gid = 0;
    return hb_font_get_nominal_glyph(font_.get(), c, &gid) ? gid : 0;
}

}  // namespace workload::detail
