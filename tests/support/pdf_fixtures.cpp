#include "support/pdf_fixtures.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "pdf/mupdf.hpp"
#include "support/temp_dir.hpp"

namespace fixtures {

namespace fs = std::filesystem;
using pdf::mupdf_call;

namespace {

void num(std::string& out, double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    out.append(buf, res.ptr);
    out.push_back(' ');
}

std::string escape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '(' || ch == ')' || ch == '\\') out.push_back('\\');
        out.push_back(ch);
    }
    return out;
}

PdfBox visible_box(const Page& p) {
    if (p.crop_box) return *p.crop_box;
    return {p.origin_x, p.origin_y, p.origin_x + p.width, p.origin_y + p.height};
}

// The drawing of a page, in its PDF space; see the header for what it shows.
std::string page_content(const Page& p) {
    const PdfBox v = visible_box(p);
    const double w = v.x1 - v.x0;
    const double h = v.y1 - v.y0;
    const double t = 3;                   // frame thickness
    const double m = std::min(w, h) / 6;  // corner marker
    std::string s = "0 g ";
    num(s, v.x0), num(s, v.y0), num(s, w), num(s, h), s += "re ";
    num(s, v.x0 + t), num(s, v.y0 + t), num(s, w - 2 * t), num(s, h - 2 * t), s += "re f*\n";
    num(s, v.x0), num(s, v.y1 - m), num(s, m), num(s, m), s += "re f\n";
    if (p.crop_box) {
        for (double x : {p.origin_x, p.origin_x + p.width - 8})
            for (double y : {p.origin_y, p.origin_y + p.height - 8}) num(s, x), num(s, y), s += "8 8 re f\n";
    }
    const double size = std::max(4.0, std::min(20.0, w / 12));
    s += "BT /F1 ";
    num(s, size);
    s += "Tf ";
    num(s, v.x0 + w * 0.3), num(s, v.y0 + h / 2), s += "Td (" + escape(p.label) + ") Tj ET\n";
    if (p.image) {
        s += "q 30 0 0 30 ";
        num(s, v.x0 + w / 2), num(s, v.y0 + h / 4), s += "cm /Im1 Do Q\n";
    }
    return s;
}

pdf::Buffer buffer_of(const std::string& s) {
    return pdf::Buffer(mupdf_call([&](fz_context* c) noexcept {
        return fz_new_buffer_from_copied_data(c, reinterpret_cast<const unsigned char*>(s.data()), s.size());
    }));
}

pdf::Object make_resources(pdf_document* doc, const pdf::Object& font, const pdf::Object& image) {
    pdf::Object res(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc, 2); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_puts(c, pdf_dict_put_dict(c, res.get(), PDF_NAME(Font), 1), "F1", font.get());
        pdf_dict_puts(c, pdf_dict_put_dict(c, res.get(), PDF_NAME(XObject), 1), "Im1", image.get());
    });
    return res;
}

// A base-14 font and a 4x4 RGB image, as indirect objects.
pdf::Object add_font(pdf_document* doc) {
    pdf::Object font(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc, 4); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, font.get(), PDF_NAME(Type), PDF_NAME(Font));
        pdf_dict_put(c, font.get(), PDF_NAME(Subtype), PDF_NAME(Type1));
        pdf_dict_put_name(c, font.get(), PDF_NAME(BaseFont), "Helvetica");
        pdf_dict_put(c, font.get(), PDF_NAME(Encoding), PDF_NAME(WinAnsiEncoding));
    });
    return pdf::Object(mupdf_call([&](fz_context* c) noexcept { return pdf_add_object(c, doc, font.get()); }));
}

pdf::Object add_image(pdf_document* doc) {
    std::string pixels;
    for (int i = 0; i < 16; ++i) pixels += {static_cast<char>(i * 16), static_cast<char>(255 - i * 16), 0x40};
    pdf::Buffer data = buffer_of(pixels);
    pdf::Object dict(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, doc, 6); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, dict.get(), PDF_NAME(Type), PDF_NAME(XObject));
        pdf_dict_put(c, dict.get(), PDF_NAME(Subtype), PDF_NAME(Image));
        pdf_dict_put_int(c, dict.get(), PDF_NAME(Width), 4);
        pdf_dict_put_int(c, dict.get(), PDF_NAME(Height), 4);
        pdf_dict_put(c, dict.get(), PDF_NAME(ColorSpace), PDF_NAME(DeviceRGB));
        pdf_dict_put_int(c, dict.get(), PDF_NAME(BitsPerComponent), 8);
    });
    return pdf::Object(
        mupdf_call([&](fz_context* c) noexcept { return pdf_add_stream(c, doc, data.get(), dict.get(), 0); }));
}

void add_page(pdf_document* doc, const Page& p, const pdf::Object& resources) {
    const fz_rect media{static_cast<float>(p.origin_x), static_cast<float>(p.origin_y),
                        static_cast<float>(p.origin_x + p.width), static_cast<float>(p.origin_y + p.height)};
    const std::string content = page_content(p);
    pdf::Buffer whole = buffer_of(p.split_content ? std::string() : content);
    pdf::Object page(mupdf_call(
        [&](fz_context* c) noexcept { return pdf_add_page(c, doc, media, p.rotate, resources.get(), whole.get()); }));
    if (p.no_content) {
        mupdf_call([&](fz_context* c) noexcept { pdf_dict_del(c, page.get(), PDF_NAME(Contents)); });
    } else if (p.split_content) {
        // Cut between two operators: the first stream ends after the frame.
        const std::size_t cut = content.find('\n') + 1;
        pdf::Buffer a = buffer_of(content.substr(0, cut));
        pdf::Buffer b = buffer_of(content.substr(cut));
        pdf_obj* parts = mupdf_call(
            [&](fz_context* c) noexcept { return pdf_dict_put_array(c, page.get(), PDF_NAME(Contents), 2); });
        for (const pdf::Buffer* piece : {&a, &b}) {
            pdf::Object part(
                mupdf_call([&](fz_context* c) noexcept { return pdf_add_stream(c, doc, piece->get(), nullptr, 0); }));
            mupdf_call([&](fz_context* c) noexcept { pdf_array_push(c, parts, part.get()); });
        }
    }
    if (p.crop_box) {
        const PdfBox& b = *p.crop_box;
        const fz_rect crop{static_cast<float>(b.x0), static_cast<float>(b.y0), static_cast<float>(b.x1),
                           static_cast<float>(b.y1)};
        mupdf_call([&](fz_context* c) noexcept { pdf_dict_put_rect(c, page.get(), PDF_NAME(CropBox), crop); });
    }
    mupdf_call([&](fz_context* c) noexcept { pdf_insert_page(c, doc, -1, page.get()); });
}

pdf::Document open(const fs::path& pdf_path) { return pdf::open_pdf(pdf_path.c_str()); }

fz_document* any(const pdf::Document& d) { return &d.get()->super; }

}  // namespace

std::string pdf_bytes(const std::vector<Page>& pages) {
    pdf::Document doc = pdf::create_pdf();
    pdf::Object font = add_font(doc.get());
    pdf::Object image = add_image(doc.get());
    pdf::Object resources = make_resources(doc.get(), font, image);
    for (const Page& p : pages) add_page(doc.get(), p, resources);

    pdf::Buffer out(mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 4096); }));
    pdf::Output writer(mupdf_call([&](fz_context* c) noexcept { return fz_new_output_with_buffer(c, out.get()); }));
    // Compressed like the files marketplaces hand out: every stream Flate-encoded.
    pdf_write_options opts = pdf_default_write_options;
    opts.do_compress = 1;
    mupdf_call([&](fz_context* c) noexcept {
        pdf_write_document(c, doc.get(), writer.get(), &opts);
        fz_close_output(c, writer.get());
    });
    return std::string(pdf::bytes_of(out));
}

void write_pdf(const fs::path& path, const std::vector<Page>& pages) { write_bytes(path, pdf_bytes(pages)); }

int page_count(const fs::path& pdf_path) {
    pdf::Document doc = open(pdf_path);
    return mupdf_call([&](fz_context* c) noexcept { return pdf_count_pages(c, doc.get()); });
}

Size page_size(const fs::path& pdf_path, int index) {
    pdf::Document doc = open(pdf_path);
    const fz_rect b = mupdf_call([&](fz_context* c) noexcept {
        fz_rect box{};
        fz_matrix ctm{};
        pdf_page_obj_transform(c, pdf_lookup_page_obj(c, doc.get(), index), &box, &ctm);
        return fz_transform_rect(box, ctm);
    });
    return {double(b.x1) - b.x0, double(b.y1) - b.y0};
}

std::vector<TextSpot> text_spots(const fs::path& pdf_path, int index) {
    pdf::Document doc = open(pdf_path);
    pdf::TextPage text(mupdf_call(
        [&](fz_context* c) noexcept { return fz_new_stext_page_from_page_number(c, any(doc), index, nullptr); }));
    std::vector<TextSpot> spots;
    for (fz_stext_block* b = text->first_block; b; b = b->next) {
        if (b->type != FZ_STEXT_BLOCK_TEXT) continue;
        for (fz_stext_line* l = b->u.t.first_line; l; l = l->next) {
            std::string s;
            for (fz_stext_char* ch = l->first_char; ch; ch = ch->next)
                if (ch->c > 0 && ch->c < 128) s.push_back(static_cast<char>(ch->c));
            spots.push_back({s, (double(l->bbox.x0) + l->bbox.x1) / 2, (double(l->bbox.y0) + l->bbox.y1) / 2});
        }
    }
    return spots;
}

std::vector<std::string> texts_in(const std::vector<TextSpot>& spots, const pdf::Rect& r) {
    std::vector<std::string> out;
    for (const TextSpot& s : spots)
        if (s.x >= r.x0 && s.x <= r.x1 && s.y >= r.y0 && s.y <= r.y1) out.push_back(s.text);
    return out;
}

Raster render(const fs::path& pdf_path, int index, double zoom) {
    pdf::Document doc = open(pdf_path);
    const float z = static_cast<float>(zoom);
    pdf::Pixmap pix(mupdf_call([&](fz_context* c) noexcept {
        return fz_new_pixmap_from_page_number(c, any(doc), index, fz_scale(z, z), fz_device_gray(c), 0);
    }));
    fz_context* c = pdf::mupdf_context();
    Raster r;
    r.width = fz_pixmap_width(c, pix.get());
    r.height = fz_pixmap_height(c, pix.get());
    r.zoom = zoom;
    const unsigned char* samples = fz_pixmap_samples(c, pix.get());
    const std::ptrdiff_t stride = fz_pixmap_stride(c, pix.get());
    for (int y = 0; y < r.height; ++y)
        r.gray.insert(r.gray.end(), samples + y * stride, samples + y * stride + r.width);
    return r;
}

namespace {

struct PixelSpan {
    int x0, y0, x1, y1;  // half-open
};

PixelSpan pixels_of(const Raster& r, const pdf::Rect& region) {
    auto clampx = [&](double v) { return std::clamp(static_cast<int>(v * r.zoom + 0.5), 0, r.width); };
    auto clampy = [&](double v) { return std::clamp(static_cast<int>(v * r.zoom + 0.5), 0, r.height); };
    return {clampx(region.x0), clampy(region.y0), clampx(region.x1), clampy(region.y1)};
}

}  // namespace

std::optional<pdf::Rect> ink_box(const Raster& r, const pdf::Rect& region) {
    const PixelSpan s = pixels_of(r, region);
    int x0 = s.x1, y0 = s.y1, x1 = -1, y1 = -1;
    for (int y = s.y0; y < s.y1; ++y)
        for (int x = s.x0; x < s.x1; ++x)
            if (r.ink(x, y)) x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    if (x1 < 0) return std::nullopt;
    return pdf::Rect{x0 / r.zoom, y0 / r.zoom, (x1 + 1) / r.zoom, (y1 + 1) / r.zoom};
}

double ink_share(const Raster& r, const pdf::Rect& region) {
    const PixelSpan s = pixels_of(r, region);
    long inked = 0, all = 0;
    for (int y = s.y0; y < s.y1; ++y)
        for (int x = s.x0; x < s.x1; ++x) ++all, inked += r.ink(x, y) ? 1 : 0;
    return all ? static_cast<double>(inked) / all : 0;
}

int count_objects(const fs::path& pdf_path, const std::string& name) {
    pdf::Document doc = open(pdf_path);
    int n = 0;
    for (int i = 1, len = pdf::xref_len(doc.get()); i < len; ++i) {
        const pdf::Object obj(mupdf_call([&](fz_context* c) noexcept { return pdf_load_object(c, doc.get(), i); }));
        const bool match = mupdf_call([&](fz_context* c) noexcept {
            const char* type = pdf_to_name(c, pdf_dict_get(c, obj.get(), PDF_NAME(Type)));
            const char* sub = pdf_to_name(c, pdf_dict_get(c, obj.get(), PDF_NAME(Subtype)));
            return name == type || (name == "Image" && std::string_view(sub) == "Image");
        });
        n += match ? 1 : 0;
    }
    return n;
}

std::string page_text(const fs::path& pdf_path, int index, const std::optional<pdf::Rect>& region) {
    pdf::Document doc = open(pdf_path);
    pdf::TextPage text(mupdf_call(
        [&](fz_context* c) noexcept { return fz_new_stext_page_from_page_number(c, any(doc), index, nullptr); }));
    std::string out;
    for (fz_stext_block* b = text->first_block; b; b = b->next) {
        if (b->type != FZ_STEXT_BLOCK_TEXT) continue;
        for (fz_stext_line* l = b->u.t.first_line; l; l = l->next) {
            bool any_char = false;
            for (fz_stext_char* ch = l->first_char; ch; ch = ch->next) {
                const double x = (double(ch->quad.ll.x) + ch->quad.ur.x) / 2;
                const double y = (double(ch->quad.ll.y) + ch->quad.ur.y) / 2;
                if (region && (x < region->x0 || x > region->x1 || y < region->y0 || y > region->y1)) continue;
                char utf8[8];
                out.append(utf8, static_cast<std::size_t>(fz_runetochar(utf8, ch->c)));
                any_char = true;
            }
            if (any_char) out += '\n';
        }
    }
    return out;
}

std::string dict_value(const fs::path& pdf_path, int index, const std::string& path) {
    pdf::Document doc = open(pdf_path);
    char local[256];
    std::size_t len = 0;
    char* text = nullptr;
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* value = pdf_dict_getp(c, pdf_lookup_page_obj(c, doc.get(), index), path.c_str());
        text = value ? pdf_sprint_obj(c, local, sizeof local, &len, pdf_resolve_indirect(c, value), 1, 0) : nullptr;
    });
    if (!text) return "";
    std::string out(text, len);
    if (text != local) fz_free(pdf::mupdf_context(), text);
    return out;
}

std::string encrypted_copy(const std::string& pdf, const std::string& user_password,
                           const std::string& owner_password) {
    using pdf::mupdf_call;
    pdf::Buffer in(mupdf_call([&](fz_context* c) noexcept {
        return fz_new_buffer_from_copied_data(c, reinterpret_cast<const unsigned char*>(pdf.data()), pdf.size());
    }));
    pdf::Stream stream(mupdf_call([&](fz_context* c) noexcept { return fz_open_buffer(c, in.get()); }));
    pdf::Document doc(
        mupdf_call([&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stream.get()); }));
    pdf_write_options opts = pdf_default_write_options;
    opts.do_encrypt = PDF_ENCRYPT_AES_256;
    opts.permissions = -1;
    std::snprintf(opts.upwd_utf8, sizeof opts.upwd_utf8, "%s", user_password.c_str());
    std::snprintf(opts.opwd_utf8, sizeof opts.opwd_utf8, "%s", owner_password.c_str());
    pdf::Buffer out(mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 4096); }));
    pdf::Output sink(mupdf_call([&](fz_context* c) noexcept { return fz_new_output_with_buffer(c, out.get()); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_write_document(c, doc.get(), sink.get(), &opts);
        fz_close_output(c, sink.get());
    });
    return std::string(pdf::bytes_of(out));
}

}  // namespace fixtures
