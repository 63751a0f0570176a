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
#include "pdf/mupdf.hpp"
#include "platform/platform.hpp"

namespace pdf {

namespace fs = std::filesystem;

namespace {

// MuPDF takes file names as UTF-8 on every platform.
using platform::utf8;

int xref_len(pdf_document* doc) {
    return mupdf_call([&](fz_context* c) noexcept { return pdf_xref_len(c, doc); });
}

int count_pages(pdf_document* doc) {
    return mupdf_call([&](fz_context* c) noexcept { return pdf_count_pages(c, doc); });
}

// Maps numbers of removed duplicate objects to the number of the copy that stays.
using Remap = std::unordered_map<int, int>;

// Follows a chain of merges (a merged into b, b later into c) to its end.
int final_number(const Remap& remap, int num) {
    for (auto it = remap.find(num); it != remap.end(); it = remap.find(num)) num = it->second;
    return num;
}

// Points every indirect reference inside `obj` (direct sub-objects only) that names a
// removed object at its kept copy. Runs inside mupdf_call.
void rewrite_refs(fz_context* c, pdf_document* doc, pdf_obj* obj, const Remap& remap) noexcept {
    if (pdf_is_dict(c, obj)) {
        const int n = pdf_dict_len(c, obj);
        for (int i = 0; i < n; ++i) {
            pdf_obj* val = pdf_dict_get_val(c, obj, i);
            if (pdf_is_indirect(c, val)) {
                auto it = remap.find(pdf_to_num(c, val));
                if (it != remap.end())
                    pdf_dict_put_drop(c, obj, pdf_dict_get_key(c, obj, i), pdf_new_indirect(c, doc, it->second, 0));
            } else {
                rewrite_refs(c, doc, val, remap);
            }
        }
    } else if (pdf_is_array(c, obj)) {
        const int n = pdf_array_len(c, obj);
        for (int i = 0; i < n; ++i) {
            pdf_obj* val = pdf_array_get(c, obj, i);
            if (pdf_is_indirect(c, val)) {
                auto it = remap.find(pdf_to_num(c, val));
                if (it != remap.end()) pdf_array_put_drop(c, obj, i, pdf_new_indirect(c, doc, it->second, 0));
            } else {
                rewrite_refs(c, doc, val, remap);
            }
        }
    }
}

// Stores identical objects of the output document once, as MuPDF's garbage collection
// level 4 does (same dictionary or value, and for streams the same raw bytes; page
// objects are never merged), but by hashing instead of comparing every pair of
// objects, which costs quadratic time on a thousand sources.
//
// Objects are absorbed in batches: after a source has been copied, merge_new_objects
// merges the objects it added with each other and with the objects kept so far. Kept
// objects never change afterwards, because objects made earlier refer to later ones
// only through the page tree, and pages are never merged.
class ObjectMerger {
public:
    explicit ObjectMerger(pdf_document* doc) : doc_(doc) {}

    // Merges duplicates among the objects numbered `first` and up; removes the
    // duplicates from the document and returns where each removed number went (chains
    // resolved). Throws diag::RuntimeError.
    Remap merge_new_objects(int first) {
        Remap remap;
        std::vector<int> live = live_objects(first);
        for (;;) {
            if (!remap.empty()) {
                for (auto& [from, to] : remap) to = final_number(remap, to);
                for (int num : live) rewrite_object(num, remap);
            }
            std::unordered_map<std::size_t, std::vector<Kept>> batch;
            std::vector<int> still_live;
            bool merged = false;
            for (int num : live) {
                Print p = fingerprint(num);
                if (p.is_page) {
                    still_live.push_back(num);
                    continue;
                }
                int same = find_equal(kept_, p);
                if (same == 0) same = find_equal(batch, p);
                if (same != 0) {
                    remap[num] = same;
                    mupdf_call([&](fz_context* c) noexcept { pdf_delete_object(c, doc_, num); });
                    merged = true;
                } else {
                    batch[p.hash].push_back(Kept{num, std::move(p.text), p.is_stream});
                    still_live.push_back(num);
                }
            }
            live = std::move(still_live);
            if (!merged) {
                for (auto& [hash, list] : batch)
                    for (auto& k : list) kept_[hash].push_back(std::move(k));
                break;
            }
        }
        for (auto& [from, to] : remap) to = final_number(remap, to);
        return remap;
    }

private:
    struct Kept {
        int num;
        std::string text;  // the object (a stream's dictionary) as PDF syntax
        bool is_stream;
    };
    struct Print {
        std::string text;
        bool is_stream = false;
        bool is_page = false;  // a page or page tree node: never merged
        Buffer raw;  // raw stream bytes, for streams
        std::size_t hash = 0;
    };

    std::vector<int> live_objects(int first) {
        const int end = xref_len(doc_);
        std::vector<int> nums;
        for (int num = std::max(first, 1); num < end; ++num) {
            const bool in_use = mupdf_call([&](fz_context* c) noexcept {
                pdf_xref_entry* e = pdf_get_xref_entry(c, doc_, num);
                return e != nullptr && e->type == 'n' && e->obj != nullptr;
            });
            if (in_use) nums.push_back(num);
        }
        return nums;
    }

    void rewrite_object(int num, const Remap& remap) {
        mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* obj = pdf_get_xref_entry(c, doc_, num)->obj;
            if (pdf_is_indirect(c, obj)) {
                auto it = remap.find(pdf_to_num(c, obj));
                if (it != remap.end()) {
                    pdf_obj* ref = pdf_new_indirect(c, doc_, it->second, 0);
                    pdf_update_object(c, doc_, num, ref);
                    pdf_drop_obj(c, ref);
                }
            } else {
                rewrite_refs(c, doc_, obj, remap);
            }
        });
    }

    Buffer raw_stream(int num) {
        return Buffer(mupdf_call([&](fz_context* c) noexcept {
            pdf_xref_entry* e = pdf_get_xref_entry(c, doc_, num);
            return e->stm_buf ? fz_keep_buffer(c, e->stm_buf) : pdf_load_raw_stream_number(c, doc_, num);
        }));
    }

    static std::string_view bytes(const Buffer& b) {
        unsigned char* data = nullptr;
        const std::size_t len = fz_buffer_storage(detail::existing_context(), b.get(), &data);
        return {reinterpret_cast<const char*>(data), len};
    }

    Print fingerprint(int num) {
        Print p;
        char local[2048];
        std::size_t len = 0;
        char* text = nullptr;
        mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* obj = pdf_get_xref_entry(c, doc_, num)->obj;
            // Pages keep their identity, and page tree nodes change as pages are added.
            pdf_obj* type = pdf_dict_get(c, obj, PDF_NAME(Type));
            p.is_page = pdf_name_eq(c, type, PDF_NAME(Page)) || pdf_name_eq(c, type, PDF_NAME(Pages));
            p.is_stream = pdf_obj_num_is_stream(c, doc_, num);
            text = pdf_sprint_obj(c, local, sizeof local, &len, obj, 1, 0);
        });
        p.text.assign(text, len);
        if (text != local) fz_free(detail::existing_context(), text);
        p.hash = std::hash<std::string>{}(p.text);
        if (p.is_stream) {
            p.raw = raw_stream(num);
            p.hash ^= std::hash<std::string_view>{}(bytes(p.raw)) + 0x9e3779b97f4a7c15ULL + (p.hash << 6) + (p.hash >> 2);
        }
        return p;
    }

    // The number of an object in `table` equal to the fingerprinted one, or 0.
    int find_equal(const std::unordered_map<std::size_t, std::vector<Kept>>& table, const Print& p) {
        auto it = table.find(p.hash);
        if (it == table.end()) return 0;
        for (const Kept& k : it->second) {
            if (k.is_stream != p.is_stream || k.text != p.text) continue;
            if (p.is_stream && bytes(raw_stream(k.num)) != bytes(p.raw)) continue;
            return k.num;
        }
        return 0;
    }

    pdf_document* doc_;
    std::unordered_map<std::size_t, std::vector<Kept>> kept_;
};

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

struct Matrix {
    double a, b, c, d, e, f;
};

// The transform from a source page's PDF space into the sheet's PDF space that puts
// the page, as a viewer shows it, into `cell`: `page_ctm` maps the page's PDF space to
// its own top-left page space (MediaBox origin, CropBox and /Rotate applied) and
// `visible` is the visible box in PDF space. One scale factor, the largest that fits,
// and the centre of the page on the centre of the cell; then the flip into the sheet's
// PDF space, whose origin is the bottom-left corner.
Matrix place_in_cell(fz_rect visible, fz_matrix page_ctm, Rect cell) {
    const fz_rect r = fz_transform_rect(visible, page_ctm);
    const double w = double(r.x1) - r.x0;
    const double h = double(r.y1) - r.y0;
    const double cw = cell.x1 - cell.x0;
    const double ch = cell.y1 - cell.y0;
    const double s = std::min(cw / w, ch / h);
    const double tx = cell.x0 + (cw - s * w) / 2 - s * r.x0;
    const double ty = cell.y0 + (ch - s * h) / 2 - s * r.y0;
    return Matrix{s * page_ctm.a, -s * page_ctm.b, s * page_ctm.c, -s * page_ctm.d,
                  s * page_ctm.e + tx, A4_H - (s * page_ctm.f + ty)};
}

void append_number(std::string& out, double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    out.append(buf, res.ptr);
    out.push_back(' ');
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
    return Placed{num, place_in_cell(visible, ctm, cell)};
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
// graft map, so what its pages share is copied once) and appends it to the tree.
void graft_page(pdf_document* out, pdf_graft_map* map, pdf_document* src, int index, PageTree& tree) {
    static pdf_obj* const copied_keys[] = {
        PDF_NAME(Contents), PDF_NAME(Resources), PDF_NAME(MediaBox), PDF_NAME(CropBox), PDF_NAME(BleedBox),
        PDF_NAME(TrimBox),  PDF_NAME(ArtBox),    PDF_NAME(Rotate),   PDF_NAME(UserUnit)};
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
        for (double v : {m.a, m.b, m.c, m.d, m.e, m.f}) append_number(content, v);
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

bool is_grid_layout(int nup) { return nup == 4 || nup == 6 || nup == 9; }

}  // namespace

Grid get_grid(int nup) {
    switch (nup) {
    case 4: return {2, 2};
    case 6: return {2, 3};
    case 9: return {3, 3};
    default: return {1, 1};
    }
}

CellSize cell_size(int nup) {
    const Grid g = get_grid(nup);
    return {(A4_W - SHEET_MARGIN * 2 - SHEET_GAP * (g.cols - 1)) / g.cols,
            (A4_H - SHEET_MARGIN * 2 - SHEET_GAP * (g.rows - 1)) / g.rows};
}

Rect cell_rect(int nup, int index) {
    const Grid g = get_grid(nup);
    if (index < 0 || index >= g.cols * g.rows)
        throw diag::InvalidValue("cell " + std::to_string(index) + " is outside the grid of layout " +
                                 std::to_string(nup));
    const CellSize size = cell_size(nup);
    const int col = index % g.cols;
    const int row = index / g.cols;
    const double x0 = SHEET_MARGIN + col * (size.width + SHEET_GAP);
    const double y0 = SHEET_MARGIN + row * (size.height + SHEET_GAP);
    return {x0, y0, x0 + size.width, y0 + size.height};
}

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
    if (std::find(SUPPORTED_NUP.begin(), SUPPORTED_NUP.end(), nup) == SUPPORTED_NUP.end())
        throw diag::InvalidValue("unsupported layout " + std::to_string(nup));
    return nup == 1 ? merge_1up(pdf_files, output_path) : merge_nup(pdf_files, output_path, nup);
}

}  // namespace pdf
