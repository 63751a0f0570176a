// Layout 1: every source page grafted as it is onto a page of its own in the output,
// with its annotations; and the output's page tree and the source copy that both
// layouts use.
#include <string>
#include <vector>

#include "pdf/engine.hpp"

namespace pdf {

using namespace detail;

namespace detail {

PageTree::PageTree(pdf_document* doc) {
    mupdf_call([&](fz_context* c) noexcept {
        pages_ = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages");
        kids_ = pdf_dict_get(c, pages_, PDF_NAME(Kids));
        count_ = pdf_array_len(c, kids_);
    });
}

void PageTree::append(pdf_obj* page) {
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, page, PDF_NAME(Parent), pages_);
        pdf_array_push(c, kids_, page);
        pdf_dict_put_int(c, pages_, PDF_NAME(Count), ++count_);
    });
}

SourceCopy::SourceCopy(pdf_document* out, const Source& source, const std::string& source_name)
    : name(source_name),
      doc(open_source(source, name)),
      tree(walk_pages(doc.get())),
      map(mupdf_call([&](fz_context* c) noexcept { return pdf_new_graft_map(c, out); })),
      first_new_object(xref_len(out)),
      seen(doc.get()) {
    if (tree.lost >= 0) throw content_broken(name, tree.lost, "page object lost");
    if (tree.count() == 0) throw diag::RuntimeError(source_text("pdf_no_pages", name));
    repaired = was_repaired(doc.get()) || tree.count_differs;
}

void SourceCopy::prepare_page(int index) {
    pdf_obj* p = page(index);
    null_missing_references(p, tree.numbers[static_cast<std::size_t>(index)], seen);
    pdf_obj* annots = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, p, PDF_NAME(Annots)); });
    if (annots && drop_repeated_annotations(annots)) repaired = true;
    check_page_content(p, was_repaired(doc.get()), index, name);
}

}  // namespace detail

namespace {

// A link of the output waiting for the page it points at.
struct PendingLink {
    pdf_obj* annot;  // borrowed from the output's page
    int source_page;
};

// Grafts the source page's annotations, made ready by prepare_annotations, onto `page`,
// its copy in `out`, each pointing back at it by /P. Adds the links that wait for their
// page to `links`.
void graft_annotations(SourceCopy& source, pdf_obj* annots, pdf_obj* page, std::vector<PendingLink>& links) {
    const PreparedAnnotations prepared = prepare_annotations(source.doc.get(), annots, source.tree);
    if (prepared.repaired) source.repaired = true;
    const std::vector<int>& targets = prepared.link_targets;
    pdf_graft_map* map = source.map.get();
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* copy = pdf_graft_mapped_object(c, map, annots);
        pdf_dict_put_drop(c, page, PDF_NAME(Annots), copy);
        pdf_obj* list = pdf_dict_get(c, page, PDF_NAME(Annots));
        const int n = pdf_array_len(c, list);
        for (int i = 0; i < n; ++i) {
            pdf_obj* a = pdf_array_get(c, list, i);
            if (!pdf_is_dict(c, a)) continue;
            pdf_dict_put(c, a, PDF_NAME(P), page);
        }
    });
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (targets[i] < 0) continue;
        pdf_obj* a = mupdf_call([&](fz_context* c) noexcept {
            return pdf_array_get(c, pdf_dict_get(c, page, PDF_NAME(Annots)), static_cast<int>(i));
        });
        links.push_back({a, targets[i]});
    }
}

// Copies page `index` of the source into `out` as pdf_graft_mapped_page does (the
// page's own and inherited boxes, rotation, resources and contents, through the
// source's graft map, so what its pages share is copied once), and also its
// transparency group, which decides how its half-transparent parts blend, and its
// annotations with every reference that leads off the page cut (prepare_annotations);
// appends it to the tree. Returns the output page (a reference) and adds the links that
// wait for their page.
Object graft_page(pdf_document* out, SourceCopy& source, int index, PageTree& tree, std::vector<PendingLink>& links) {
    static pdf_obj* const copied_keys[] = {
        PDF_NAME(Contents), PDF_NAME(Resources), PDF_NAME(MediaBox), PDF_NAME(CropBox),  PDF_NAME(BleedBox),
        PDF_NAME(TrimBox),  PDF_NAME(ArtBox),    PDF_NAME(Rotate),   PDF_NAME(UserUnit), PDF_NAME(Group)};
    pdf_graft_map* map = source.map.get();
    pdf_obj* from = source.page(index);
    Object page(mupdf_call([&](fz_context* c) noexcept { return pdf_add_new_dict(c, out, 4); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, page.get(), PDF_NAME(Type), PDF_NAME(Page));
        for (pdf_obj* key : copied_keys)
            if (pdf_obj* value = pdf_dict_get(c, from, key))
                pdf_dict_put_drop(c, page.get(), key, pdf_graft_mapped_object(c, map, value));
    });
    pdf_obj* annots = mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* a = pdf_dict_get(c, from, PDF_NAME(Annots));
        return pdf_array_len(c, a) > 0 ? a : nullptr;
    });
    if (annots) graft_annotations(source, annots, page.get(), links);
    tree.append(page.get());
    return page;
}

// Grafts every page of the source, in order, onto pages of its own appended to the
// tree; then points the links within the source at their pages in the output.
void graft_pages(pdf_document* out, SourceCopy& source, PageTree& tree) {
    std::vector<Object> pages;
    std::vector<PendingLink> links;
    for (int i = 0; i < source.pages(); ++i) {
        source.prepare_page(i);
        pages.push_back(graft_page(out, source, i, tree, links));
    }
    for (const PendingLink& link : links) {
        mupdf_call([&](fz_context* c) noexcept {
            pdf_array_put(c, pdf_dict_get(c, link.annot, PDF_NAME(Dest)), 0, pages[link.source_page].get());
        });
    }
}

}  // namespace

Built detail::merge_1up(const std::vector<Source>& pdf_files, const SourceArrival& arrive,
                        const MergeProgress& progress) {
    Built built{create_pdf(), {}, {}, {}, {}};
    PageTree tree(built.doc.get());
    ObjectMerger merger(built.doc.get());
    copy_sources(pdf_files, arrive, progress, [&](const Source& input, const std::string& name) {
        SourceCopy source(built.doc.get(), input, name);
        graft_pages(built.doc.get(), source, tree);
        finish_source(source, input.path, merger, built);
    });
    built.counts.final_sheets = built.counts.total_pages;
    built.first_page.push_back(built.counts.total_pages);
    return built;
}

MergeCounts detail::keep_pages(Built& built, const std::vector<bool>& takes, const std::vector<Source>& sources) {
    MergeCounts counts;
    const std::vector<int> pages = pages_taken(built, takes, counts, sources);
    counts.final_sheets = counts.total_pages;
    pdf_document* doc = built.doc.get();
    const Object kept(
        mupdf_call([&](fz_context* c) noexcept { return pdf_new_array(c, doc, counts.total_pages + 1); }));
    const bool whole = mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* kids = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages/Kids");
        for (int p : pages) {
            pdf_obj* page = pdf_array_get(c, kids, p);
            if (!pdf_is_dict(c, page)) return false;
            pdf_array_push(c, kept.get(), page);
        }
        return true;
    });
    // The saved output holds every page it was given; a page not found would be a page
    // left out of the file without a word.
    if (!whole) throw diag::RuntimeError("the saved output lacks a page of the new-only output");
    mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* node = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages");
        pdf_dict_put(c, node, PDF_NAME(Kids), kept.get());
        pdf_dict_put_int(c, node, PDF_NAME(Count), counts.total_pages);
    });
    return counts;
}

}  // namespace pdf
