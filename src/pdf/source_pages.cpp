#include "pdf/source_pages.hpp"

#include <array>
#include <string>

#include "diag/errors.hpp"

namespace pdf {

SeenObjects::Mark SeenObjects::mark(int num) {
    if (num < 1) return Mark::outside;
    auto at = static_cast<std::size_t>(num);
    if (at >= seen_.size()) {
        const int len = xref_len(doc_);
        if (num >= len) return Mark::outside;
        seen_.resize(static_cast<std::size_t>(len));
    }
    if (seen_[at]) return Mark::again;
    seen_[at] = true;
    return Mark::first;
}

int SourcePages::index_of_target(fz_context* c, pdf_obj* target) const noexcept {
    if (pdf_is_indirect(c, target)) {
        const auto it = index_of.find(pdf_to_num(c, target));
        return it == index_of.end() ? -1 : it->second;
    }
    if (pdf_is_int(c, target)) {
        const int n = pdf_to_int(c, target);
        return n >= 0 && n < count() ? n : -1;
    }
    return -1;
}

namespace {

// One entry of a /Kids array as it is written: past the array's end, or the entry and,
// for a reference, the object number it names.
struct Entry {
    bool past_end;
    pdf_obj* entry;  // borrowed from the array
    bool referenced;
    int num;
};

// The entry resolved: a dictionary (borrowed), or null; and whether it is a node of the
// tree rather than a page.
struct Kid {
    pdf_obj* dict;
    bool node;
};

// A node of the tree on the walk's way down: its dictionary and the next entry of its
// /Kids to take.
struct Frame {
    Object node;
    int next = 0;
};

[[noreturn]] void refuse(const std::string& why) { throw diag::RuntimeError("page tree " + why); }

// The root node of the document's page tree (borrowed), its object number marked as
// seen; null when the document has none.
pdf_obj* root_node(pdf_document* doc, SeenObjects& seen) {
    pdf_obj* root = mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* r = pdf_dict_getp(c, pdf_trailer(c, doc), "Root/Pages");
        return pdf_is_dict(c, r) ? r : nullptr;
    });
    if (!root) return nullptr;
    const int root_num = mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* r = pdf_dict_get(c, pdf_dict_get(c, pdf_trailer(c, doc), PDF_NAME(Root)), PDF_NAME(Pages));
        return pdf_is_indirect(c, r) ? pdf_to_num(c, r) : 0;
    });
    if (root_num != 0) seen.mark(root_num);
    return root;
}

// Takes the next entry of the node's /Kids.
Entry next_entry(Frame& top) {
    const int index = top.next++;
    return mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* kids = pdf_dict_get(c, top.node.get(), PDF_NAME(Kids));
        if (index >= pdf_array_len(c, kids)) return Entry{true, nullptr, false, 0};
        pdf_obj* e = pdf_array_get(c, kids, index);
        const bool ref = pdf_is_indirect(c, e) != 0;
        return Entry{false, e, ref, ref ? pdf_to_num(c, e) : 0};
    });
}

// Marks object `num` that a /Kids entry names; false when it is not in the file (a page
// a viewer counts and cannot show: lost). Refuses a tree that names it a second time.
bool mark_kid(SeenObjects& seen, int num) {
    switch (seen.mark(num)) {
        case SeenObjects::Mark::first:
            return true;
        case SeenObjects::Mark::again:
            refuse("names object " + std::to_string(num) + " more than once");
        case SeenObjects::Mark::outside:
            return false;
    }
    return false;
}

// What a /Kids entry is, told apart as MuPDF tells them.
Kid resolve_kid(pdf_obj* entry) {
    return mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* d = pdf_resolve_indirect(c, entry);
        if (!pdf_is_dict(c, d)) return Kid{nullptr, false};
        pdf_obj* type = pdf_dict_get(c, d, PDF_NAME(Type));
        const bool node =
            type ? pdf_name_eq(c, type, PDF_NAME(Pages)) != 0
                 : pdf_dict_get(c, d, PDF_NAME(Kids)) != nullptr && pdf_dict_get(c, d, PDF_NAME(MediaBox)) == nullptr;
        return Kid{d, node};
    });
}

// Adds page `dict` (object number `num`, 0 when written in place) to what was found,
// with the attributes it inherits from the nearest node on `path` that has them, and
// without its /Parent.
void add_page(SourcePages& found, pdf_obj* dict, int num, const std::vector<Frame>& path) {
    static pdf_obj* const inherited_keys[] = {PDF_NAME(MediaBox), PDF_NAME(CropBox), PDF_NAME(Rotate),
                                              PDF_NAME(Resources)};
    Object page(mupdf_call([&](fz_context* c) noexcept { return pdf_keep_obj(c, dict); }));
    for (pdf_obj* key : inherited_keys) {
        if (mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, page.get(), key); })) continue;
        for (auto node = path.rbegin(); node != path.rend(); ++node) {
            const bool put = mupdf_call([&](fz_context* c) noexcept {
                pdf_obj* value = pdf_dict_get(c, node->node.get(), key);
                if (value) pdf_dict_put(c, page.get(), key, value);
                return value != nullptr;
            });
            if (put) break;
        }
    }
    mupdf_call([&](fz_context* c) noexcept { pdf_dict_del(c, page.get(), PDF_NAME(Parent)); });
    if (num != 0) found.index_of.emplace(num, found.count());
    found.numbers.push_back(num);
    found.pages.push_back(std::move(page));
}

}  // namespace

SourcePages walk_pages(pdf_document* doc) {
    SourcePages found;
    SeenObjects seen(doc);
    pdf_obj* root = root_node(doc, seen);
    if (!root) return found;
    const int claimed = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get_int(c, root, PDF_NAME(Count)); });
    std::vector<Frame> path;
    path.push_back({Object(mupdf_call([&](fz_context* c) noexcept { return pdf_keep_obj(c, root); })), 0});
    while (!path.empty()) {
        const Entry at = next_entry(path.back());
        if (at.past_end) {
            path.pop_back();
            continue;
        }
        const Kid kid = !at.referenced || mark_kid(seen, at.num) ? resolve_kid(at.entry) : Kid{nullptr, false};
        if (!kid.dict) {
            found.lost = found.count();
            return found;
        }
        if (kid.node) {
            if (static_cast<int>(path.size()) >= MAX_PAGE_TREE_DEPTH)
                refuse("is more than " + std::to_string(MAX_PAGE_TREE_DEPTH) + " levels deep");
            path.push_back({Object(mupdf_call([&](fz_context* c) noexcept { return pdf_keep_obj(c, kid.dict); })), 0});
            continue;
        }
        add_page(found, kid.dict, at.num, path);
    }
    found.count_differs = claimed != found.count();
    return found;
}

}  // namespace pdf
