#include "pdf/dedup.hpp"

#include <algorithm>
#include <functional>
#include <string_view>

namespace pdf {

namespace {

// Points every indirect reference held inside `obj` (in its direct dictionaries and
// arrays, at any depth) that names a removed object at its kept copy. Runs inside
// mupdf_call; the replaced references are dropped by the put calls, even on failure.
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

}  // namespace

int final_number(const Remap& remap, int num) noexcept {
    for (auto it = remap.find(num); it != remap.end(); it = remap.find(num)) num = it->second;
    return num;
}

struct ObjectMerger::Print {
    std::string text;
    bool is_stream = false;
    bool is_page = false;  // a page or page tree node: never merged
    Buffer raw;            // raw stream bytes, for streams
    std::size_t hash = 0;
};

Remap ObjectMerger::merge_new_objects(int first) {
    Remap remap;
    std::vector<int> live = live_objects(first);
    for (;;) {
        if (!remap.empty()) {
            for (auto& [from, to] : remap) to = final_number(remap, to);
            for (int num : live) rewrite_object(num, remap);
        }
        Table batch;
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

std::vector<int> ObjectMerger::live_objects(int first) {
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

void ObjectMerger::rewrite_object(int num, const Remap& remap) {
    // An object that is itself just a reference to a removed object is replaced whole;
    // any other object has the references inside it rewritten in place.
    const int target = mupdf_call([&](fz_context* c) noexcept {
        pdf_obj* obj = pdf_get_xref_entry(c, doc_, num)->obj;
        return pdf_is_indirect(c, obj) ? pdf_to_num(c, obj) : 0;
    });
    if (target == 0) {
        mupdf_call(
            [&](fz_context* c) noexcept { rewrite_refs(c, doc_, pdf_get_xref_entry(c, doc_, num)->obj, remap); });
        return;
    }
    const auto it = remap.find(target);
    if (it == remap.end()) return;
    const Object ref(mupdf_call([&](fz_context* c) noexcept { return pdf_new_indirect(c, doc_, it->second, 0); }));
    mupdf_call([&](fz_context* c) noexcept { pdf_update_object(c, doc_, num, ref.get()); });
}

Buffer ObjectMerger::raw_stream(int num) {
    return Buffer(mupdf_call([&](fz_context* c) noexcept {
        pdf_xref_entry* e = pdf_get_xref_entry(c, doc_, num);
        return e->stm_buf ? fz_keep_buffer(c, e->stm_buf) : pdf_load_raw_stream_number(c, doc_, num);
    }));
}

ObjectMerger::Print ObjectMerger::fingerprint(int num) {
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
        p.hash ^=
            std::hash<std::string_view>{}(bytes_of(p.raw)) + 0x9e3779b97f4a7c15ULL + (p.hash << 6) + (p.hash >> 2);
    }
    return p;
}

// The number of an object in `table` equal to the fingerprinted one, or 0.
int ObjectMerger::find_equal(const Table& table, const Print& p) {
    auto it = table.find(p.hash);
    if (it == table.end()) return 0;
    for (const Kept& k : it->second) {
        if (k.is_stream != p.is_stream || k.text != p.text) continue;
        if (p.is_stream && bytes_of(raw_stream(k.num)) != bytes_of(p.raw)) continue;
        return k.num;
    }
    return 0;
}

}  // namespace pdf
