// Annotations of a source page made ready to be copied into another document: field
// entries taken from their parents, repeated entries and links that lead nowhere left
// out, and every reference that leads off the page cut.
#include <unordered_set>
#include <vector>

#include "pdf/engine.hpp"

namespace pdf::detail {

namespace {

// The destination a link's /Dest (or its GoTo action's /D) gives, looked up when it is
// a name: an array whose first item names a page, or null.
pdf_obj* resolved_dest(fz_context* c, pdf_document* doc, pdf_obj* dest) noexcept {
    if (pdf_is_name(c, dest) || pdf_is_string(c, dest)) dest = pdf_lookup_dest(c, doc, dest);
    if (pdf_is_dict(c, dest)) dest = pdf_dict_get(c, dest, PDF_NAME(D));
    return pdf_is_array(c, dest) ? dest : nullptr;
}

// Puts onto `annot` as its /Dest the view part of destination `dest` (everything after
// the page), with null for the page until the page it points at exists in the output.
void put_dest_without_page(fz_context* c, pdf_document* doc, pdf_obj* annot, pdf_obj* dest) noexcept {
    const int n = pdf_array_len(c, dest);
    pdf_obj* copy = pdf_new_array(c, doc, n > 1 ? n : 2);
    fz_try(c) {
        pdf_array_push(c, copy, PDF_NULL);
        for (int i = 1; i < n; ++i) pdf_array_push(c, copy, pdf_array_get(c, dest, i));
        if (n <= 1) pdf_array_push(c, copy, PDF_NAME(Fit));
        pdf_dict_put(c, annot, PDF_NAME(Dest), copy);
    }
    fz_always(c) pdf_drop_obj(c, copy);
    fz_catch(c) fz_rethrow(c);
}

// The inheritable field entries a widget takes from its field parents; they move onto
// the widget, since the parents (and the form they belong to) are not copied.
constexpr const char* FIELD_KEYS[] = {"FT", "Ff", "V", "DV", "DA", "Q", "MaxLen", "Opt"};

// The field parents of a widget (its /Parent, that one's /Parent, ...), nearest first,
// as far as the chain can be followed: at most MAX_FIELD_DEPTH of them, each once. A
// chain that comes back to a field already on it, or runs deeper, is cut there (`cut`):
// what lies beyond is not read. Real forms nest fields a few levels deep.
constexpr int MAX_FIELD_DEPTH = 32;

struct FieldChain {
    pdf_obj* parents[MAX_FIELD_DEPTH];  // resolved, borrowed from the source
    int count;
    bool cut;
};

FieldChain field_chain(fz_context* c, pdf_obj* widget) noexcept {
    FieldChain chain{{}, 0, false};
    pdf_obj* self = pdf_resolve_indirect(c, widget);
    for (pdf_obj* p = pdf_dict_get(c, self, PDF_NAME(Parent)); p != nullptr; p = pdf_dict_get(c, p, PDF_NAME(Parent))) {
        pdf_obj* field = pdf_resolve_indirect(c, p);
        if (!pdf_is_dict(c, field)) break;
        bool again = field == self;
        for (int k = 0; k < chain.count && !again; ++k) again = chain.parents[k] == field;
        if (again || chain.count == MAX_FIELD_DEPTH) {
            chain.cut = true;
            break;
        }
        chain.parents[chain.count++] = field;
    }
    return chain;
}

// Gives a widget what it takes from its field parents: its full name ("parent.child";
// a widget without a name is no field to a viewer, and is not shown) and the
// inheritable field entries. Returns whether the chain of parents had to be cut.
bool take_field_entries(fz_context* c, pdf_obj* widget) noexcept {
    const FieldChain chain = field_chain(c, widget);
    if (!pdf_dict_get(c, widget, PDF_NAME(T))) {
        char full[512] = "";
        for (int k = chain.count - 1; k >= 0; --k) {
            if (!pdf_dict_get(c, chain.parents[k], PDF_NAME(T))) continue;
            if (full[0]) fz_strlcat(full, ".", sizeof full);
            fz_strlcat(full, pdf_dict_get_text_string(c, chain.parents[k], PDF_NAME(T)), sizeof full);
        }
        if (full[0]) pdf_dict_put_text_string(c, widget, PDF_NAME(T), full);
    }
    for (const char* key : FIELD_KEYS) {
        if (pdf_dict_gets(c, widget, key)) continue;
        for (int k = 0; k < chain.count; ++k) {
            if (pdf_obj* v = pdf_dict_gets(c, chain.parents[k], key)) {
                pdf_dict_puts(c, widget, key, v);
                break;
            }
        }
    }
    return chain.cut;
}

// The object numbers of the annotations a page's /Annots lists, and the positions of
// the entries that repeat an earlier one.
struct ListedAnnotations {
    std::unordered_set<int> numbers;
    std::vector<int> repeats;
};

ListedAnnotations list_annotations(pdf_obj* annots) {
    ListedAnnotations listed;
    const int n = mupdf_call([&](fz_context* c) noexcept { return pdf_array_len(c, annots); });
    for (int i = 0; i < n; ++i) {
        const int num = mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* a = pdf_array_get(c, annots, i);
            return pdf_is_indirect(c, a) ? pdf_to_num(c, a) : 0;
        });
        if (num != 0 && !listed.numbers.insert(num).second) listed.repeats.push_back(i);
    }
    return listed;
}

// What prepare_annotations made of one annotation.
struct Prepared {
    int target = -1;        // the source page its link points at, or -1
    bool dangling = false;  // a link to a page that is not in the source: left out
    bool cut = false;       // a field whose chain of parents had to be cut
};

}  // namespace

int annotation_flags(fz_context* c, pdf_obj* annot) noexcept { return pdf_dict_get_int(c, annot, PDF_NAME(F)); }

bool drop_repeated_annotations(pdf_obj* annots) {
    const std::vector<int> repeats = list_annotations(annots).repeats;
    for (auto i = repeats.rbegin(); i != repeats.rend(); ++i)
        mupdf_call([&](fz_context* c) noexcept { pdf_array_delete(c, annots, *i); });
    return !repeats.empty();
}

PreparedAnnotations prepare_annotations(pdf_document* src, pdf_obj* annots, const SourcePages& pages) {
    const std::unordered_set<int> on_page = list_annotations(annots).numbers;
    PreparedAnnotations result;
    std::vector<int> dangling;
    const int n = mupdf_call([&](fz_context* c) noexcept { return pdf_array_len(c, annots); });
    for (int i = 0; i < n; ++i) {
        const Prepared p = mupdf_call([&](fz_context* c) noexcept {
            Prepared out;
            pdf_obj* a = pdf_array_get(c, annots, i);
            if (!pdf_is_dict(c, a)) return out;
            pdf_dict_del(c, a, PDF_NAME(P));
            pdf_dict_del(c, a, PDF_NAME(StructParent));
            // Actions on focus, keystrokes and the like serve a form being filled in, not
            // a sheet being printed, and may lead anywhere in the source.
            pdf_dict_del(c, a, PDF_NAME(AA));
            if (pdf_name_eq(c, pdf_dict_get(c, a, PDF_NAME(Subtype)), PDF_NAME(Widget)))
                out.cut = take_field_entries(c, a);
            // References between annotations stay only within the page.
            for (pdf_obj* key : {PDF_NAME(Parent), PDF_NAME(Popup), PDF_NAME(IRT)}) {
                pdf_obj* other = pdf_dict_get(c, a, key);
                if (other && !(pdf_is_indirect(c, other) && on_page.contains(pdf_to_num(c, other))))
                    pdf_dict_del(c, a, key);
            }
            // A link into the document: the page it points at is noted and put back once
            // that page is in the output.
            pdf_obj* action = pdf_dict_get(c, a, PDF_NAME(A));
            const bool go_to = pdf_name_eq(c, pdf_dict_get(c, action, PDF_NAME(S)), PDF_NAME(GoTo));
            pdf_obj* dest = pdf_dict_get(c, a, PDF_NAME(Dest));
            if (!dest && go_to) dest = pdf_dict_get(c, action, PDF_NAME(D));
            if (!dest) return out;
            pdf_obj* view = resolved_dest(c, src, dest);
            out.target = view ? pages.index_of_target(c, pdf_array_get(c, view, 0)) : -1;
            if (out.target >= 0) {
                put_dest_without_page(c, src, a, view);
            } else if (pdf_name_eq(c, pdf_dict_get(c, a, PDF_NAME(Subtype)), PDF_NAME(Link))) {
                out.dangling = true;
            } else {
                pdf_dict_del(c, a, PDF_NAME(Dest));
            }
            if (go_to) pdf_dict_del(c, a, PDF_NAME(A));
            return out;
        });
        if (p.dangling)
            dangling.push_back(i);
        else
            result.link_targets.push_back(p.target);
        result.repaired = result.repaired || p.dangling || p.cut;
    }
    for (auto i = dangling.rbegin(); i != dangling.rend(); ++i)
        mupdf_call([&](fz_context* c) noexcept { pdf_array_delete(c, annots, *i); });
    return result;
}

}  // namespace pdf::detail
