#include "workload/waybill.hpp"

#include <zip.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <string>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/geometry.hpp"
#include "pdf/mupdf.hpp"
#include "workload/canvas.hpp"
#include "workload/content.hpp"
#include "workload/fonts.hpp"
#include "workload/pages.hpp"

namespace workload {
using namespace detail;

namespace {

// The logo: a 160 x 64 RGB badge with a gradient, a circle and fine grain. Made from
// fixed numbers so its image stream is byte-identical in every file of every set.
pdf::Image make_logo() {
    constexpr int w = 160, h = 64;
    pdf::Pixmap pix(
        pdf::mupdf_call([](fz_context* c) noexcept { return fz_new_pixmap(c, fz_device_rgb(c), w, h, nullptr, 0); }));
    fz_context* ctx = pdf::mupdf_context();
    unsigned char* px = fz_pixmap_samples(ctx, pix.get());
    const int stride = fz_pixmap_stride(ctx, pix.get());
    std::uint32_t grain = 12345;
    for (int yy = 0; yy < h; ++yy) {
        for (int xx = 0; xx < w; ++xx) {
            grain = grain * 1103515245u + 12345u;
            const int noise = static_cast<int>((grain >> 16) % 9) - 4;
            const double dx = xx - 32.0, dy = yy - 32.0;
            const bool disc = dx * dx + dy * dy < 26.0 * 26.0;
            const bool stripe = xx > 66 && (yy / 8) % 2 == 0 && xx < 66 + (yy + 40) * 1.4;
            int r = 30 + xx / 2, g = 60 + yy, b = 160 + xx / 3;
            if (disc) r = 240 - yy, g = 120 + yy / 2, b = 30;
            if (stripe) r = g = b = 245;
            unsigned char* p = px + yy * stride + xx * 3;
            p[0] = static_cast<unsigned char>(std::clamp(r + noise, 0, 255));
            p[1] = static_cast<unsigned char>(std::clamp(g + noise, 0, 255));
            p[2] = static_cast<unsigned char>(std::clamp(b + noise, 0, 255));
        }
    }
    return pdf::Image(
        pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_image_from_pixmap(c, pix.get(), nullptr); }));
}

// Subset tag of six capital letters, as PDF producers put before a subset font's name.
std::string subset_tag(Rng& rng) {
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += static_cast<char>('A' + rng.below(26));
    return tag;
}

// Gives the Type0 font, its CIDFont and its descriptor the subset name.
void rename_font(pdf_obj* font, const std::string& name) {
    const char* n = name.c_str();
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put_name(c, font, PDF_NAME(BaseFont), n);
        pdf_obj* cid = pdf_array_get(c, pdf_dict_get(c, font, PDF_NAME(DescendantFonts)), 0);
        if (cid) {
            pdf_dict_put_name(c, cid, PDF_NAME(BaseFont), n);
            pdf_obj* desc = pdf_dict_get(c, cid, PDF_NAME(FontDescriptor));
            if (desc) pdf_dict_put_name(c, desc, PDF_NAME(FontName), n);
        }
    });
}

// The content cut at line ends into `parts` pieces of about equal size (fewer when the
// content has fewer lines); every piece ends after a complete operator.
std::vector<std::string> split_content(const std::string& content, int parts) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (int i = 1; i < parts && start < content.size(); ++i) {
        const std::size_t want = content.size() * static_cast<std::size_t>(i) / static_cast<std::size_t>(parts);
        const std::size_t cut = content.find('\n', std::max(want, start));
        if (cut == std::string::npos || cut + 1 >= content.size()) break;
        pieces.push_back(content.substr(start, cut + 1 - start));
        start = cut + 1;
    }
    pieces.push_back(content.substr(start));
    return pieces;
}

pdf::Buffer buffer_of(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t length = bytes.size();
    return pdf::Buffer(
        pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_buffer_from_copied_data(c, data, length); }));
}

// A dictionary entry `key` of `dict` holding a new, empty dictionary; returns it borrowed.
pdf_obj* put_dict(pdf_obj* dict, pdf_obj* key, int size) {
    return pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_dict_put_dict(c, dict, key, size); });
}

// The fonts as /F1, /F2 of `font_dict`: each a CID font made from its subset file and
// named with its subset tag.
void add_fonts(pdf::Document& doc, pdf_obj* font_dict,
               const std::array<std::pair<const std::string*, std::string>, 2>& fonts) {
    for (std::size_t i = 0; i < fonts.size(); ++i) {
        const char* name = fonts[i].second.c_str();
        pdf::Buffer buf = buffer_of(*fonts[i].first);
        pdf::Font font(
            pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_font_from_buffer(c, name, buf.get(), 0, 0); }));
        pdf::Object ref(
            pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_add_cid_font(c, doc.get(), font.get()); }));
        rename_font(ref.get(), fonts[i].second);
        std::string key = "F";  // appended to, not "F" + ...: a false overlap warning of GCC 12 at -O3
        key += std::to_string(i + 1);
        const char* k = key.c_str();
        pdf::mupdf_call([&](fz_context* c) noexcept { pdf_dict_puts(c, font_dict, k, ref.get()); });
    }
}

// The half-transparent state /GS1 the "paid" stamp is drawn with.
void add_stamp_state(pdf::Document& doc, pdf_obj* resources) {
    pdf_obj* states = put_dict(resources, PDF_NAME(ExtGState), 1);
    pdf::Object gs(pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc.get(), 2); }));
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put_real(c, gs.get(), PDF_NAME(ca), 0.5);
        pdf_dict_put_real(c, gs.get(), PDF_NAME(CA), 0.5);
        pdf_dict_puts(c, states, "GS1", gs.get());
    });
}

// The page's content as an array of streams, one per piece.
void add_content_pieces(pdf::Document& doc, pdf_obj* page, const std::vector<std::string>& pieces) {
    pdf_obj* parts = pdf::mupdf_call([&](fz_context* c) noexcept {
        return pdf_dict_put_array(c, page, PDF_NAME(Contents), static_cast<int>(pieces.size()));
    });
    for (const std::string& piece : pieces) {
        pdf::Buffer bytes = buffer_of(piece);
        pdf::Object part(pdf::mupdf_call(
            [&](fz_context* c) noexcept { return pdf_add_stream(c, doc.get(), bytes.get(), nullptr, 0); }));
        pdf::mupdf_call([&](fz_context* c) noexcept { pdf_array_push(c, parts, part.get()); });
    }
}

// A page transparency group, as pages with half-transparent stamps carry.
void add_transparency_group(pdf_obj* page) {
    pdf_obj* group = put_dict(page, PDF_NAME(Group), 3);
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, group, PDF_NAME(Type), PDF_NAME(Group));
        pdf_dict_put(c, group, PDF_NAME(S), PDF_NAME(Transparency));
        pdf_dict_put(c, group, PDF_NAME(CS), PDF_NAME(DeviceRGB));
    });
}

// The document's bytes, compressed and without unused objects.
std::string saved(pdf::Document& doc) {
    pdf::Buffer out(pdf::mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 64 * 1024); }));
    pdf::Output sink(pdf::mupdf_call([&](fz_context* c) noexcept { return fz_new_output_with_buffer(c, out.get()); }));
    pdf::mupdf_call([&](fz_context* c) noexcept {
        pdf_write_options opts = pdf_default_write_options;
        opts.do_compress = 1;
        opts.do_compress_images = 1;
        opts.do_compress_fonts = 1;
        opts.do_garbage = 1;
        pdf_write_document(c, doc.get(), sink.get(), &opts);
        fz_close_output(c, sink.get());
    });
    return std::string(pdf::bytes_of(out));
}

}  // namespace

PageDims page_dims(PageSize size) noexcept {
    if (size == PageSize::a4) return {595.28, 841.89};
    return {105 * MM, 148 * MM};
}

PageSize page_size_for(std::uint64_t index, unsigned a4_every) noexcept {
    if (a4_every == 0) return PageSize::a6;
    return (index + 1) % a4_every == 0 ? PageSize::a4 : PageSize::a6;
}

struct WaybillFactory::Impl {
    std::unique_ptr<FaceSource> regular;
    std::unique_ptr<FaceSource> bold;
    pdf::Image logo;
};

WaybillFactory::WaybillFactory(const std::filesystem::path& font_dir) : impl_(std::make_unique<Impl>()) {
    impl_->regular = std::make_unique<FaceSource>(font_dir / "DejaVuSans.ttf", "DejaVuSans");
    impl_->bold = std::make_unique<FaceSource>(font_dir / "DejaVuSans-Bold.ttf", "DejaVuSans-Bold");
    impl_->logo = make_logo();
}

WaybillFactory::~WaybillFactory() = default;

Waybill WaybillFactory::make(std::uint64_t seed, std::uint64_t index, PageSize size, const WaybillOptions& options) {
    const Content content = make_content(seed, index, size == PageSize::a4 ? 22 : 4);
    Canvas canvas(page_dims(size), {impl_->regular.get(), impl_->bold.get()});
    if (size == PageSize::a4)
        draw_sheet(canvas, content);
    else
        draw_label(canvas, content);

    // Per-file subsets: only the characters this waybill prints.
    const std::string regular_file = impl_->regular->subset(canvas.used(REGULAR));
    const std::string bold_file = impl_->bold->subset(canvas.used(BOLD));
    const SubsetCmap regular_cmap(regular_file), bold_cmap(bold_file);
    std::string stream = canvas.content({&regular_cmap, &bold_cmap});
    const PageDims dims = page_dims(size);
    if (options.transparency) {
        // A half-transparent red "paid" stamp across the upper right, as payment systems
        // put on waybills: drawn through an ExtGState, under a page transparency group.
        const double w = dims.width * 0.3, h = dims.height * 0.08;
        const double x = dims.width * 0.62, y = dims.height * 0.78;
        stream += "q /GS1 gs 0.85 0.1 0.1 rg " + pdf::format_number(x, 2) + " " + pdf::format_number(y, 2) + " " +
                  pdf::format_number(w, 2) + " " + pdf::format_number(h, 2) + " re f Q\n";
    }
    Rng tags(splitmix64(seed * 3 + index));
    const std::array<std::pair<const std::string*, std::string>, 2> fonts = {{
        {&regular_file, subset_tag(tags) + "+" + impl_->regular->name()},
        {&bold_file, subset_tag(tags) + "+" + impl_->bold->name()},
    }};

    pdf::Document doc = pdf::create_pdf();
    pdf::Object resources(pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc.get(), 3); }));
    pdf_obj* font_dict = put_dict(resources.get(), PDF_NAME(Font), 2);
    pdf_obj* xobject_dict = put_dict(resources.get(), PDF_NAME(XObject), 1);
    if (options.transparency) add_stamp_state(doc, resources.get());

    add_fonts(doc, font_dict, fonts);

    pdf::Object image(
        pdf::mupdf_call([&](fz_context* c) noexcept { return pdf_add_image(c, doc.get(), impl_->logo.get()); }));
    pdf::mupdf_call([&](fz_context* c) noexcept { pdf_dict_puts(c, xobject_dict, "Im1", image.get()); });

    const std::vector<std::string> pieces = split_content(stream, std::max(1, options.content_streams));
    pdf::Buffer contents = buffer_of(pieces.size() == 1 ? stream : std::string());
    const fz_rect media = fz_make_rect(0, 0, static_cast<float>(dims.width), static_cast<float>(dims.height));
    pdf::Object page(pdf::mupdf_call(
        [&](fz_context* c) noexcept { return pdf_add_page(c, doc.get(), media, 0, resources.get(), contents.get()); }));
    if (pieces.size() > 1) add_content_pieces(doc, page.get(), pieces);
    if (options.transparency) add_transparency_group(page.get());
    pdf::mupdf_call([&](fz_context* c) noexcept { pdf_insert_page(c, doc.get(), -1, page.get()); });
    return Waybill{file_name_for(content, seed, index), saved(doc)};
}

void write_zip(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& files) {
    // libzip reads the inputs only when the archive is closed, and then does not say
    // which one failed: check them first.
    for (const auto& file : files)
        if (!std::filesystem::is_regular_file(file)) throw diag::FileNotFound("file not found: " + file.string());
    int code = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (za == nullptr) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        std::string message = "cannot create " + archive.string() + ": " + zip_error_strerror(&error);
        zip_error_fini(&error);
        throw diag::RuntimeError(message);
    }
    auto fail = [&](const std::string& what) {
        std::string message = what + ": " + zip_strerror(za);
        zip_discard(za);
        throw diag::RuntimeError(message);
    };
    // 12 March 2024, 09:30 local time: a fixed stamp keeps archives reproducible.
    std::tm stamp{};
    stamp.tm_year = 124;
    stamp.tm_mon = 2;
    stamp.tm_mday = 12;
    stamp.tm_hour = 9;
    stamp.tm_min = 30;
    stamp.tm_isdst = -1;
    const std::time_t mtime = std::mktime(&stamp);
    for (const auto& file : files) {
        zip_source_t* src = zip_source_file(za, file.c_str(), 0, -1);
        if (src == nullptr) fail("cannot read " + file.string());
        const std::string name = file.filename().string();
        const zip_int64_t idx = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (idx < 0) {
            zip_source_free(src);
            fail("cannot add " + name);
        }
        const auto at = static_cast<zip_uint64_t>(idx);
        if (zip_set_file_compression(za, at, ZIP_CM_DEFLATE, 0) < 0 || zip_file_set_mtime(za, at, mtime, 0) < 0)
            fail("cannot set up " + name);
    }
    if (zip_close(za) < 0) fail("cannot write " + archive.string());
}

}  // namespace workload
