// Layout 1: every source page grafted as it is onto a page of its own in the output,
// with its annotations; and the output's page tree and the source copy that both
// layouts use.
#include <deque>
#include <optional>
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

SourceCopy::SourceCopy(const Source& source, const std::string& source_name)
    : name(source_name), doc(open_source(source, name)), tree(walk_pages(doc.get())), seen(doc.get()) {
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
// its copy in the target, each pointing back at it by /P. Adds the links that wait for
// their page to `links`.
void graft_annotations(Target& target, pdf_obj* annots, const PreparedAnnotations& prepared, pdf_obj* page,
                       std::vector<PendingLink>& links) {
    const std::vector<int>& targets = prepared.link_targets;
    pdf_graft_map* map = target.map.get();
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

// Page `index` of a source on its way into the targets that take it, and what each
// of them has of the source so far: its pages and the links that wait for them.
struct PageCopies {
    std::vector<std::vector<Object>> pages;  // per target
    std::vector<std::vector<PendingLink>> links;
    std::optional<PreparedAnnotations> prepared;  // once the first target needs it
};

// Copies page `index` of the source into the target as pdf_graft_mapped_page does
// (the page's own and inherited boxes, rotation, resources and contents, through the
// target's graft map, so what the source's pages share is copied once), and also its
// transparency group, which decides how its half-transparent parts blend, and its
// annotations with every reference that leads off the page cut (prepare_annotations,
// once for all targets); appends it to the target's tree. Adds the output page (a
// reference) and the links that wait for their page to the target's share of `copies`.
void graft_page(Target& target, std::size_t slot, SourceCopy& source, int index, PageCopies& copies) {
    static pdf_obj* const copied_keys[] = {
        PDF_NAME(Contents), PDF_NAME(Resources), PDF_NAME(MediaBox), PDF_NAME(CropBox),  PDF_NAME(BleedBox),
        PDF_NAME(TrimBox),  PDF_NAME(ArtBox),    PDF_NAME(Rotate),   PDF_NAME(UserUnit), PDF_NAME(Group)};
    pdf_graft_map* map = target.map.get();
    pdf_obj* from = source.page(index);
    Object page(mupdf_call([&](fz_context* c) noexcept { return pdf_add_new_dict(c, target.doc.get(), 4); }));
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
    if (annots) {
        if (!copies.prepared) {
            copies.prepared = prepare_annotations(source.doc.get(), annots, source.tree);
            if (copies.prepared->repaired) source.repaired = true;
        }
        graft_annotations(target, annots, *copies.prepared, page.get(), copies.links[slot]);
    }
    target.tree.append(page.get());
    copies.pages[slot].push_back(std::move(page));
}

// Grafts every page of the source, in order, onto pages of their own appended to each
// target's tree; then points the links within the source at their pages in each output.
void graft_pages(SourceCopy& source, const std::vector<Target*>& targets) {
    PageCopies copies{std::vector<std::vector<Object>>(targets.size()),
                      std::vector<std::vector<PendingLink>>(targets.size()), std::nullopt};
    for (int i = 0; i < source.pages(); ++i) {
        source.prepare_page(i);
        copies.prepared.reset();
        for (std::size_t t = 0; t < targets.size(); ++t) graft_page(*targets[t], t, source, i, copies);
    }
    for (std::size_t t = 0; t < targets.size(); ++t) {
        for (const PendingLink& link : copies.links[t]) {
            mupdf_call([&](fz_context* c) noexcept {
                pdf_array_put(c, pdf_dict_get(c, link.annot, PDF_NAME(Dest)), 0,
                              copies.pages[t][static_cast<std::size_t>(link.source_page)].get());
            });
        }
    }
}

}  // namespace

std::vector<MergeCounts> detail::merge_1up(const std::vector<Source>& pdf_files,
                                           const std::vector<MergeOutput>& outputs, const MergeProgress& progress) {
    std::deque<Target> targets;
    for (const MergeOutput& out : outputs) targets.emplace_back(out);
    copy_sources(pdf_files, progress, [&](std::size_t index, const Source& input, const std::string& name) {
        const std::vector<Target*> taking = takers(targets, index);
        if (taking.empty()) return;
        SourceCopy source(input, name);
        for (Target* t : taking) t->begin_source();
        graft_pages(source, taking);
        for (Target* t : taking) finish_source(source, input.path, *t);
    });
    for (Target& t : targets) t.counts.final_sheets = t.counts.total_pages;
    return save_targets(targets, progress, pdf_files.size());
}

}  // namespace pdf
