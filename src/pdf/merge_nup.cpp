// Layouts 4, 6 and 9: each source page becomes a form XObject (its content, and the
// appearances of the annotations a viewer shows), drawn scaled into a cell of a
// portrait A4 sheet.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "pdf/engine.hpp"
#include "pdf/geometry.hpp"

namespace pdf {

using namespace detail;

namespace {

// A page as a sheet draws it: its form XObject, and where the form goes.
struct Placed {
    int form;  // object number of the page's form XObject
    Matrix m;
};

Rect rect_of(const fz_rect& r) { return {r.x0, r.y0, r.x1, r.y1}; }
// A rectangle as a PDF file may give it, corners in any order.
Rect normalized(const fz_rect& r) {
    return {std::min(r.x0, r.x1), std::min(r.y0, r.y1), std::max(r.x0, r.x1), std::max(r.y0, r.y1)};
}
Matrix matrix_of(const fz_matrix& m) { return {m.a, m.b, m.c, m.d, m.e, m.f}; }

// Deflates bytes given piece by piece (zlib format, as /FlateDecode reads it).
class Deflater {
public:
    Deflater() {
        if (deflateInit(&z_, Z_DEFAULT_COMPRESSION) != Z_OK) throw std::bad_alloc();
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void add(const unsigned char* data, std::size_t n) { run(data, n, Z_NO_FLUSH); }
    std::string finish() {
        run(nullptr, 0, Z_FINISH);
        return std::move(out_);
    }

private:
    void run(const unsigned char* data, std::size_t n, int flush) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(n);
        unsigned char buf[32 * 1024];
        int err = Z_OK;
        do {
            z_.next_out = buf;
            z_.avail_out = sizeof buf;
            err = deflate(&z_, flush);
            if (err == Z_STREAM_ERROR) throw std::bad_alloc();
            out_.append(reinterpret_cast<const char*>(buf), sizeof buf - z_.avail_out);
        } while (z_.avail_out == 0 || (flush == Z_FINISH && err != Z_STREAM_END));
    }

    z_stream z_{};
    std::string out_;
};

// A page's content decoded (its streams joined, as a viewer reads them) and deflated
// again as it is read, so that memory holds only the compressed bytes; stopped with a
// clear error past MAX_DECODED_CONTENT_BYTES.
Buffer joined_content(pdf_document* src, pdf_obj* contents, const std::string& name, int page_index) {
    Stream in(mupdf_call([&](fz_context* c) noexcept { return pdf_open_contents_stream(c, src, contents); }));
    Deflater deflater;
    std::vector<unsigned char> chunk(64 * 1024);
    std::size_t total = 0;
    for (;;) {
        const std::size_t n =
            mupdf_call([&](fz_context* c) noexcept { return fz_read(c, in.get(), chunk.data(), chunk.size()); });
        if (n == 0) break;
        total += n;
        if (total > MAX_DECODED_CONTENT_BYTES) throw content_too_large(name, page_index);
        deflater.add(chunk.data(), n);
    }
    const std::string packed = deflater.finish();
    return Buffer(mupdf_call([&](fz_context* c) noexcept {
        return fz_new_buffer_from_copied_data(c, reinterpret_cast<const unsigned char*>(packed.data()), packed.size());
    }));
}

// A form XObject holding a page's own content: its content stream(s), its resources
// grafted through the source's graft map (so what several pages share is copied once)
// and its visible box as BBox, which clips what lies outside the CropBox. A single
// content stream is copied as it is stored, never decoded.
Object page_content_form(pdf_document* out, pdf_document* src, pdf_graft_map* map, pdf_obj* page, fz_rect visible,
                         const std::string& name, int page_index) {
    Object dict(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, out, 8); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, dict.get(), PDF_NAME(Type), PDF_NAME(XObject));
        pdf_dict_put(c, dict.get(), PDF_NAME(Subtype), PDF_NAME(Form));
        pdf_dict_put_rect(c, dict.get(), PDF_NAME(BBox), visible);
    });
    pdf_obj* src_res =
        mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get_inheritable(c, page, PDF_NAME(Resources)); });
    Object res(mupdf_call([&](fz_context* c) noexcept {
        return src_res ? pdf_graft_mapped_object(c, map, src_res) : pdf_new_dict(c, out, 0);
    }));
    mupdf_call([&](fz_context* c) noexcept { pdf_dict_put(c, dict.get(), PDF_NAME(Resources), res.get()); });
    pdf_obj* group = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, page, PDF_NAME(Group)); });
    if (group) {
        Object g(mupdf_call([&](fz_context* c) noexcept { return pdf_graft_mapped_object(c, map, group); }));
        mupdf_call([&](fz_context* c) noexcept { pdf_dict_put(c, dict.get(), PDF_NAME(Group), g.get()); });
    }

    pdf_obj* contents = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, page, PDF_NAME(Contents)); });
    // A /Contents array of one stream is that stream.
    if (mupdf_call([&](fz_context* c) noexcept { return pdf_array_len(c, contents); }) == 1)
        contents = mupdf_call([&](fz_context* c) noexcept { return pdf_array_get(c, contents, 0); });
    const bool single = mupdf_call([&](fz_context* c) noexcept { return pdf_is_stream(c, contents) != 0; });
    Buffer content;
    bool encoded = true;  // the buffer holds the stream's bytes as stored, filters applied
    if (single) {
        // One content stream: keep its compressed bytes and filters, no re-encoding.
        content.reset(mupdf_call([&](fz_context* c) noexcept { return pdf_load_raw_stream(c, contents); }));
        for (pdf_obj* key : {PDF_NAME(Filter), PDF_NAME(DecodeParms)}) {
            pdf_obj* v = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, contents, key); });
            if (!v) continue;
            Object copy(mupdf_call([&](fz_context* c) noexcept { return pdf_graft_mapped_object(c, map, v); }));
            mupdf_call([&](fz_context* c) noexcept { pdf_dict_put(c, dict.get(), key, copy.get()); });
        }
    } else if (mupdf_call([&](fz_context* c) noexcept { return pdf_array_len(c, contents); }) > 0) {
        // Several content streams: decoded and joined as a viewer reads them.
        content = joined_content(src, contents, name, page_index);
        mupdf_call(
            [&](fz_context* c) noexcept { pdf_dict_put(c, dict.get(), PDF_NAME(Filter), PDF_NAME(FlateDecode)); });
    } else {
        // No content stream at all: an empty page, shown as a blank cell.
        content.reset(mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 1); }));
        encoded = false;
    }
    return Object(mupdf_call(
        [&](fz_context* c) noexcept { return pdf_add_stream(c, out, content.get(), dict.get(), encoded ? 1 : 0); }));
}

// The normal appearance of an annotation that a viewer shows: a form XObject, or
// null for one that is hidden, not for viewing, a pop-up, or without appearance.
pdf_obj* shown_appearance(fz_context* c, pdf_obj* annot) noexcept {
    if (!pdf_is_dict(c, annot)) return nullptr;
    if ((annotation_flags(c, annot) & (PDF_ANNOT_IS_HIDDEN | PDF_ANNOT_IS_NO_VIEW)) != 0) return nullptr;
    if (pdf_name_eq(c, pdf_dict_get(c, annot, PDF_NAME(Subtype)), PDF_NAME(Popup))) return nullptr;
    pdf_obj* ap = pdf_dict_getp(c, annot, "AP/N");
    // Fields with states (check boxes, radio buttons) pick theirs by /AS.
    if (pdf_is_dict(c, ap) && !pdf_is_stream(c, ap)) ap = pdf_dict_get(c, ap, pdf_dict_get(c, annot, PDF_NAME(AS)));
    return pdf_is_stream(c, ap) ? ap : nullptr;
}

// An annotation's appearance as a viewer draws it over its page.
struct Shown {
    pdf_obj* appearance = nullptr;  // borrowed from the source
    Matrix m{};                     // maps the appearance onto the annotation's /Rect
};

// The appearances of the annotations on `page` that a viewer shows, in the order of
// /Annots, each mapped from its BBox (and Matrix) onto its /Rect; one that would be
// drawn without any size is left out.
std::vector<Shown> shown_annotations(pdf_obj* page) {
    std::vector<Shown> shown;
    pdf_obj* annots = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, page, PDF_NAME(Annots)); });
    const int count = mupdf_call([&](fz_context* c) noexcept { return pdf_array_len(c, annots); });
    for (int i = 0; i < count; ++i) {
        const Shown s = mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* a = pdf_array_get(c, annots, i);
            pdf_obj* ap = shown_appearance(c, a);
            if (!ap) return Shown{};
            const fz_rect rect = pdf_dict_get_rect(c, a, PDF_NAME(Rect));
            const fz_rect bbox = pdf_dict_get_rect(c, ap, PDF_NAME(BBox));
            const fz_matrix matrix = pdf_dict_get_matrix(c, ap, PDF_NAME(Matrix));
            return Shown{ap, appearance_matrix(normalized(rect), normalized(bbox), matrix_of(matrix))};
        });
        if (s.appearance && !(s.m.a == 0 && s.m.b == 0 && s.m.c == 0 && s.m.d == 0)) shown.push_back(s);
    }
    return shown;
}

// Appends to content the operators that draw form XObject `name` with matrix `m`:
// "q a b c d e f cm /name Do Q", one line.
void append_draw(std::string& content, const std::string& name, const Matrix& m) {
    content += "q ";
    for (double v : {m.a, m.b, m.c, m.d, m.e, m.f}) {
        content += format_number(v, 6);
        content += ' ';
    }
    content += "cm /" + name + " Do Q\n";
}

// A form XObject of `out` with BBox `visible` that draws the page's content form
// `content` and, over it, each appearance in `shown` (grafted through `map`), each a
// form of its own, so that a state the content leaves behind does not reach the
// appearances. Returns its object number.
int form_with_appearances(pdf_document* out, pdf_graft_map* map, pdf_obj* content, fz_rect visible,
                          const std::vector<Shown>& shown) {
    std::string text = "q /Pg Do Q\n";
    Object dict(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, out, 8); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, dict.get(), PDF_NAME(Type), PDF_NAME(XObject));
        pdf_dict_put(c, dict.get(), PDF_NAME(Subtype), PDF_NAME(Form));
        pdf_dict_put_rect(c, dict.get(), PDF_NAME(BBox), visible);
        pdf_obj* xobjects = pdf_dict_put_dict(c, pdf_dict_put_dict(c, dict.get(), PDF_NAME(Resources), 1),
                                              PDF_NAME(XObject), static_cast<int>(shown.size()) + 1);
        pdf_dict_puts(c, xobjects, "Pg", content);
    });
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const std::string name = "An" + std::to_string(i);
        append_draw(text, name, shown[i].m);
        mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* copy = pdf_graft_mapped_object(c, map, shown[i].appearance);
            // An appearance stream is a form XObject, whether or not it says so.
            pdf_dict_put(c, copy, PDF_NAME(Subtype), PDF_NAME(Form));
            pdf_dict_puts_drop(c, pdf_dict_getp(c, dict.get(), "Resources/XObject"), name.c_str(), copy);
        });
    }
    Buffer buf(mupdf_call([&](fz_context* c) noexcept {
        return fz_new_buffer_from_copied_data(c, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }));
    Object ref(mupdf_call([&](fz_context* c) noexcept { return pdf_add_stream(c, out, buf.get(), dict.get(), 0); }));
    return mupdf_call([&](fz_context* c) noexcept { return pdf_to_num(c, ref.get()); });
}

// How a viewer shows the page: its visible box and the transform that turns it upright.
PageView page_view(pdf_obj* page) {
    PageView v{};
    mupdf_call([&](fz_context* c) noexcept { pdf_page_obj_transform(c, page, &v.visible, &v.ctm); });
    return v;
}

// A form XObject showing one source page as a viewer shows it (`view`): the page's own
// content (page_content_form) and, over it, the appearance of each annotation the
// viewer shows (form_with_appearances); placed to fit `cell`.
Placed make_page_form(pdf_document* out, const SourceCopy& source, int page_index, const PageView& view, Rect cell) {
    pdf_obj* page = source.page(page_index);
    const fz_rect visible = view.visible;
    const fz_matrix ctm = view.ctm;
    Object content = page_content_form(out, source.doc.get(), source.map.get(), page, visible, source.name, page_index);
    const std::vector<Shown> shown = shown_annotations(page);
    const Matrix placement = place_in_cell(rect_of(visible), matrix_of(ctm), cell);
    if (shown.empty())
        return Placed{mupdf_call([&](fz_context* c) noexcept { return pdf_to_num(c, content.get()); }), placement};
    return Placed{form_with_appearances(out, source.map.get(), content.get(), visible, shown), placement};
}

// Appends one portrait A4 sheet that draws each placed form with its matrix, counts it
// in counts.final_sheets, and empties `cells` for the next sheet.
void add_sheet(pdf_document* out, PageTree& tree, std::vector<Placed>& cells, MergeCounts& counts) {
    std::string content;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        names.push_back("Fm" + std::to_string(i));
        append_draw(content, names.back(), cells[i].m);
    }
    Object res(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, out, 1); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* xobjects = pdf_dict_put_dict(c, res.get(), PDF_NAME(XObject), static_cast<int>(cells.size()));
        for (std::size_t i = 0; i < cells.size(); ++i)
            pdf_dict_puts_drop(c, xobjects, names[i].c_str(), pdf_new_indirect(c, out, cells[i].form, 0));
    });
    Buffer buf(mupdf_call([&](fz_context* c) noexcept {
        return fz_new_buffer_from_copied_data(c, reinterpret_cast<const unsigned char*>(content.data()),
                                              content.size());
    }));
    const fz_rect sheet{0, 0, static_cast<float>(A4_W), static_cast<float>(A4_H)};
    Object page(
        mupdf_call([&](fz_context* c) noexcept { return pdf_add_page(c, out, sheet, 0, res.get(), buf.get()); }));
    tree.append(page.get());
    ++counts.final_sheets;
    cells.clear();
}

}  // namespace

Built detail::merge_nup(const std::vector<Source>& pdf_files, int nup, const SourceArrival& arrive,
                        const MergeProgress& progress) {
    if (!is_grid_layout(nup))
        throw diag::InvalidValue("layout " + std::to_string(nup) + " is not a grid layout (4, 6 or 9)");
    Built built{create_pdf(), {}, {}, {}, {}};
    pdf_document* out = built.doc.get();
    PageTree tree(out);
    ObjectMerger merger(out);
    std::vector<Placed> pending;  // cells of the sheet being filled
    MergeCounts& counts = built.counts;
    copy_sources(pdf_files, arrive, progress, [&](const Source& input, const std::string& name) {
        SourceCopy source(out, input, name);
        for (int i = 0; i < source.pages(); ++i) {
            source.prepare_page(i);
            built.views.push_back(page_view(source.page(i)));
            const Rect cell = cell_rect(nup, static_cast<int>(pending.size()));
            pending.push_back(make_page_form(out, source, i, built.views.back(), cell));
            if (static_cast<int>(pending.size()) == nup) add_sheet(out, tree, pending, counts);
        }
        const Remap moved = finish_source(source, input.path, merger, built);
        for (Placed& p : pending) p.form = final_number(moved, p.form);
    });
    if (!pending.empty()) add_sheet(out, tree, pending, counts);
    built.first_page.push_back(counts.total_pages);
    return built;
}

MergeCounts detail::regrid_pages(Built& built, const std::vector<bool>& takes, const std::vector<Source>& sources,
                                 int nup) {
    MergeCounts counts;
    const std::vector<int> pages = pages_taken(built, takes, counts, sources);
    pdf_document* doc = built.doc.get();
    // Each page's form, as the sheet that shows it names it ("Fm<cell>"); then the
    // sheets are let go, to be dropped at the save.
    std::vector<int> forms(pages.size());
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* node = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages");
        pdf_obj* sheets = pdf_dict_get(c, node, PDF_NAME(Kids));
        for (std::size_t k = 0; k < pages.size(); ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "Fm%d", pages[k] % nup);
            pdf_obj* xobjects = pdf_dict_getp(c, pdf_array_get(c, sheets, pages[k] / nup), "Resources/XObject");
            forms[k] = pdf_to_num(c, pdf_dict_gets(c, xobjects, name));
        }
    });
    // The saved output shows every page it was given; a form not found would be a page
    // left out of the file without a word.
    if (std::find(forms.begin(), forms.end(), 0) != forms.end())
        throw diag::RuntimeError("the saved output lacks a page of the new-only output");
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* node = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages");
        pdf_dict_put_array(c, node, PDF_NAME(Kids), static_cast<int>(pages.size()) / nup + 1);
        pdf_dict_put_int(c, node, PDF_NAME(Count), 0);
    });
    PageTree tree(doc);
    const int first_new_object = xref_len(doc);
    std::vector<Placed> pending;
    for (std::size_t k = 0; k < pages.size(); ++k) {
        const PageView& view = built.views[static_cast<std::size_t>(pages[k])];
        const Rect cell = cell_rect(nup, static_cast<int>(pending.size()));
        pending.push_back(Placed{forms[k], place_in_cell(rect_of(view.visible), matrix_of(view.ctm), cell)});
        if (static_cast<int>(pending.size()) == nup || k + 1 == pages.size()) add_sheet(doc, tree, pending, counts);
    }
    // Sheets laid out alike draw alike: their content is stored once, as in a merge.
    ObjectMerger(doc).merge_new_objects(first_new_object);
    return counts;
}

}  // namespace pdf
