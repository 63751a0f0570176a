#include "pdf/merge.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "diag/errors.hpp"
#include "pdf/dedup.hpp"
#include "pdf/mupdf.hpp"
#include "platform/platform.hpp"

namespace pdf {

namespace fs = std::filesystem;

namespace {

// MuPDF takes file names as UTF-8 on every platform.
using platform::utf8;

// Writes the document to `output_path` in one step: MuPDF saves to a sibling temporary
// file, which is renamed over the output path only when complete, and removed when
// anything fails. Duplicates were merged already, so garbage level 2 (drop unused
// objects, renumber compactly) gives what level 4 would, without its pairwise pass.
void save_document(pdf_document* doc, const fs::path& output_path) {
    fs::path temp;
    try {
        temp = platform::reserve_sibling(output_path, ".tmp");
    } catch (const fs::filesystem_error& e) {
        throw diag::RuntimeError("Не удалось записать PDF " + utf8(output_path) + ": " + e.code().message());
    }
    const std::string temp_name = utf8(platform::extended_length_path(temp));
    pdf_write_options opts = pdf_default_write_options;
    opts.do_garbage = 2;
    opts.do_compress = 1;
    try {
        mupdf_call([&](fz_context* c) noexcept { pdf_save_document(c, doc, temp_name.c_str(), &opts); });
        // A file that appeared at the output path meanwhile is never overwritten.
        platform::rename_no_replace(temp, output_path);
    } catch (const fs::filesystem_error& e) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw diag::RuntimeError("Не удалось записать PDF " + utf8(output_path) + ": " + e.code().message());
    } catch (...) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw;
    }
}

// Runs the work on one source file; a failure names the file, since MuPDF's own
// message ("no objects found") does not say which of many waybills is damaged.
template <class Work>
void with_source(const fs::path& file, Work&& work) {
    try {
        work();
    } catch (const diag::RuntimeError& e) {
        throw diag::RuntimeError(utf8(file.filename()) + ": " + e.what(), e.where());
    }
}

struct Placed {
    int form;  // object number of the page's form XObject
    Matrix m;
};

// A form XObject showing one source page: its content stream(s), its resources grafted
// through the source's graft map (so what several pages share is copied once) and its
// visible box as BBox, which clips what lies outside the CropBox.
Placed make_page_form(pdf_document* out, pdf_document* src, pdf_graft_map* map, int page_index, Rect cell) {
    pdf_obj* page = mupdf_call([&](fz_context* c) noexcept { return pdf_lookup_page_obj(c, src, page_index); });
    fz_rect visible{};
    fz_matrix ctm{};
    mupdf_call([&](fz_context* c) noexcept { pdf_page_obj_transform(c, page, &visible, &ctm); });

    Object dict(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, out, 8); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, dict.get(), PDF_NAME(Type), PDF_NAME(XObject));
        pdf_dict_put(c, dict.get(), PDF_NAME(Subtype), PDF_NAME(Form));
        pdf_dict_put_rect(c, dict.get(), PDF_NAME(BBox), visible);
    });
    pdf_obj* src_res = mupdf_call(
        [&](fz_context* c) noexcept { return pdf_dict_get_inheritable(c, page, PDF_NAME(Resources)); });
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
    const bool single = mupdf_call([&](fz_context* c) noexcept { return pdf_is_stream(c, contents) != 0; });
    Buffer content;
    if (single) {
        // One content stream: keep its compressed bytes and filters, no re-encoding.
        content.reset(mupdf_call([&](fz_context* c) noexcept { return pdf_load_raw_stream(c, contents); }));
        for (pdf_obj* key : {PDF_NAME(Filter), PDF_NAME(DecodeParms)}) {
            pdf_obj* v = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, contents, key); });
            if (!v) continue;
            Object copy(mupdf_call([&](fz_context* c) noexcept { return pdf_graft_mapped_object(c, map, v); }));
            mupdf_call([&](fz_context* c) noexcept { pdf_dict_put(c, dict.get(), key, copy.get()); });
        }
    } else if (contents) {
        // Several content streams: decoded and joined as a viewer reads them.
        Stream in(mupdf_call([&](fz_context* c) noexcept { return pdf_open_contents_stream(c, src, contents); }));
        content.reset(mupdf_call([&](fz_context* c) noexcept { return fz_read_all(c, in.get(), 0); }));
    } else {
        // No content stream at all: an empty page, shown as a blank cell.
        content.reset(mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 1); }));
    }
    Object ref(mupdf_call(
        [&](fz_context* c) noexcept { return pdf_add_stream(c, out, content.get(), dict.get(), single ? 1 : 0); }));
    const int num = mupdf_call([&](fz_context* c) noexcept { return pdf_to_num(c, ref.get()); });
    const Rect box{visible.x0, visible.y0, visible.x1, visible.y1};
    const Matrix page_ctm{ctm.a, ctm.b, ctm.c, ctm.d, ctm.e, ctm.f};
    return Placed{num, place_in_cell(box, page_ctm, cell)};
}

// One source on its way into the output: opened once for the whole merge, with a
// graft map of its own so that what its pages share is copied once. Objects numbered
// from `first_new_object` on are the ones its copy adds to the output.
struct SourceCopy {
    SourceCopy(pdf_document* out, const fs::path& file)
        : doc(open_pdf(utf8(platform::extended_length_path(file)).c_str())),
          pages(count_pages(doc.get())),
          map(mupdf_call([&](fz_context* c) noexcept { return pdf_new_graft_map(c, out); })),
          first_new_object(xref_len(out)) {}

    Document doc;
    int pages;
    GraftMap map;
    int first_new_object;
};

// The output's page tree: one flat /Kids array under the root /Pages node, appended
// to at its end. MuPDF's pdf_insert_page finds the end by walking the tree from the
// first page, which makes a merge of n pages cost n * n / 2 steps.
class PageTree {
public:
    explicit PageTree(pdf_document* doc) {
        mupdf_call([&](fz_context* c) noexcept {
            pages_ = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages");
            kids_ = pdf_dict_get(c, pages_, PDF_NAME(Kids));
            count_ = pdf_array_len(c, kids_);
        });
    }

    // Appends a page object (a reference into the same document).
    void append(pdf_obj* page) {
        mupdf_call([&](fz_context* c) noexcept {
            pdf_dict_put(c, page, PDF_NAME(Parent), pages_);
            pdf_array_push(c, kids_, page);
            pdf_dict_put_int(c, pages_, PDF_NAME(Count), ++count_);
        });
    }

private:
    pdf_obj* pages_ = nullptr;  // borrowed from the document
    pdf_obj* kids_ = nullptr;
    int count_ = 0;
};

// Copies page `index` of `src` into `out` as pdf_graft_mapped_page does (the page's
// own and inherited boxes, rotation, resources and contents, through the source's
// graft map, so what its pages share is copied once), and also its transparency group,
// which decides how its half-transparent parts blend; appends it to the tree.
void graft_page(pdf_document* out, pdf_graft_map* map, pdf_document* src, int index, PageTree& tree) {
    static pdf_obj* const copied_keys[] = {
        PDF_NAME(Contents), PDF_NAME(Resources), PDF_NAME(MediaBox), PDF_NAME(CropBox), PDF_NAME(BleedBox),
        PDF_NAME(TrimBox),  PDF_NAME(ArtBox),    PDF_NAME(Rotate),   PDF_NAME(UserUnit), PDF_NAME(Group)};
    Object page(mupdf_call([&](fz_context* c) noexcept { return pdf_add_new_dict(c, out, 4); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* source = pdf_lookup_page_obj(c, src, index);
        pdf_flatten_inheritable_page_items(c, source);
        pdf_dict_put(c, page.get(), PDF_NAME(Type), PDF_NAME(Page));
        for (pdf_obj* key : copied_keys)
            if (pdf_obj* value = pdf_dict_get(c, source, key))
                pdf_dict_put_drop(c, page.get(), key, pdf_graft_mapped_object(c, map, value));
    });
    tree.append(page.get());
}

// Appends one portrait A4 sheet that draws each placed form with its matrix.
void add_sheet(pdf_document* out, PageTree& tree, const std::vector<Placed>& cells) {
    std::string content;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        names.push_back("Fm" + std::to_string(i));
        const Matrix& m = cells[i].m;
        content += "q ";
        for (double v : {m.a, m.b, m.c, m.d, m.e, m.f}) {
            content += format_number(v, 6);
            content += ' ';
        }
        content += "cm /" + names.back() + " Do Q\n";
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
    Object page(mupdf_call([&](fz_context* c) noexcept { return pdf_add_page(c, out, sheet, 0, res.get(), buf.get()); }));
    tree.append(page.get());
}

}  // namespace

std::vector<PageItem> collect_pages(const std::vector<fs::path>& pdf_files) {
    std::vector<PageItem> items;
    for (const fs::path& file : pdf_files) {
        with_source(file, [&] {
            Document doc = open_pdf(utf8(platform::extended_length_path(file)).c_str());
            const int n = count_pages(doc.get());
            for (int i = 0; i < n; ++i) items.push_back(PageItem{file, i});
        });
    }
    return items;
}

MergeCounts merge_1up(const std::vector<fs::path>& pdf_files, const fs::path& output_path) {
    Document out = create_pdf();
    PageTree tree(out.get());
    ObjectMerger merger(out.get());
    int total_pages = 0;
    for (const fs::path& file : pdf_files) {
        with_source(file, [&] {
            SourceCopy source(out.get(), file);
            for (int i = 0; i < source.pages; ++i) graft_page(out.get(), source.map.get(), source.doc.get(), i, tree);
            source.map.reset();
            merger.merge_new_objects(source.first_new_object);
            total_pages += source.pages;
        });
    }
    save_document(out.get(), output_path);
    return {total_pages, total_pages};
}

MergeCounts merge_nup(const std::vector<fs::path>& pdf_files, const fs::path& output_path, int nup) {
    if (!is_grid_layout(nup))
        throw diag::InvalidValue("layout " + std::to_string(nup) + " is not a grid layout (4, 6 or 9)");
    Document out = create_pdf();
    PageTree tree(out.get());
    ObjectMerger merger(out.get());
    std::vector<Placed> pending;  // cells of the sheet being filled
    int total_pages = 0;
    int sheets = 0;
    for (const fs::path& file : pdf_files) {
        with_source(file, [&] {
            SourceCopy source(out.get(), file);
            for (int i = 0; i < source.pages; ++i) {
                const Rect cell = cell_rect(nup, static_cast<int>(pending.size()));
                pending.push_back(make_page_form(out.get(), source.doc.get(), source.map.get(), i, cell));
                if (static_cast<int>(pending.size()) == nup) {
                    add_sheet(out.get(), tree, pending);
                    ++sheets;
                    pending.clear();
                }
            }
            source.map.reset();
            const Remap moved = merger.merge_new_objects(source.first_new_object);
            for (Placed& p : pending) p.form = final_number(moved, p.form);
            total_pages += source.pages;
        });
    }
    if (!pending.empty()) {
        add_sheet(out.get(), tree, pending);
        ++sheets;
    }
    save_document(out.get(), output_path);
    return {total_pages, sheets};
}

MergeCounts merge_selected(const std::vector<fs::path>& pdf_files, const fs::path& output_path, int nup) {
    if (!is_supported_layout(nup))
        throw diag::InvalidValue("unsupported layout " + std::to_string(nup));
    return nup == 1 ? merge_1up(pdf_files, output_path) : merge_nup(pdf_files, output_path, nup);
}

}  // namespace pdf
