// Checks on a source page before it is copied: references to objects that are not in
// the file, and content that cannot be read whole or decodes to too much.
#include <string>
#include <vector>

#include "pdf/engine.hpp"

namespace pdf::detail {

namespace {

// No real page holds an array this long (a CID font's widths run to some thousands); a
// file made to take memory may, and walking it would cost more than copying it.
constexpr int MAX_WALKED_ARRAY = 1 << 16;

// Collects the warnings MuPDF gives while it lives (MuPDF reports a content stream
// that breaks off or does not decompress as a warning and reads on), then puts the
// program's quiet handler back.
class WarningWatch {
public:
    WarningWatch() {
        fz_context* c = mupdf_context();
        fz_flush_warnings(c);  // a repeat of an earlier warning would otherwise be held back
        previous_ = fz_warning_callback(c, &previous_user_);
        fz_set_warning_callback(c, &WarningWatch::record, this);
    }
    ~WarningWatch() {
        fz_context* c = mupdf_context();
        fz_flush_warnings(c);
        fz_set_warning_callback(c, previous_, previous_user_);
    }
    WarningWatch(const WarningWatch&) = delete;
    WarningWatch& operator=(const WarningWatch&) = delete;

    // The first warning that says content was lost, or empty. `sloppy_length` also
    // counts a stream whose /Length was wrong (which MuPDF reads to "endstream").
    std::string lost(bool sloppy_length) {
        fz_flush_warnings(mupdf_context());
        for (const std::string& w : warnings_)
            if (sloppy_length || !w.starts_with("PDF stream Length incorrect")) return w;
        return {};
    }

private:
    // MuPDF calls this from its own frames, where no C++ exception may pass: a warning
    // that cannot be kept (no memory for it) is let go.
    static void record(void* self, const char* message) noexcept {
        try {
            auto* watch = static_cast<WarningWatch*>(self);
            if (watch->warnings_.size() < 16) watch->warnings_.emplace_back(message);
        } catch (...) {}
    }
    static_assert(noexcept(record(nullptr, "")), "MuPDF's callbacks must not throw");
    fz_warning_cb* previous_ = nullptr;
    void* previous_user_ = nullptr;
    std::vector<std::string> warnings_;
};

}  // namespace

void null_missing_references(pdf_obj* page, int page_num, SeenObjects& seen) {
    fz_context* c = mupdf_context();
    // Containers to look into: direct ones, and indirect ones met for the first time.
    std::vector<pdf_obj*> pending{page};
    if (page_num != 0) seen.mark(page_num);
    while (!pending.empty()) {
        pdf_obj* next = pending.back();
        pending.pop_back();
        pdf_obj* obj = mupdf_call([&](fz_context* cc) noexcept { return pdf_resolve_indirect(cc, next); });
        // Looks at one value of the container: a reference to an object that is not in
        // the file is nulled (true), a container is walked later.
        auto missing_or_visit = [&](pdf_obj* v) {
            if (!pdf_is_indirect(c, v)) {
                if (pdf_is_dict(c, v) || pdf_is_array(c, v)) pending.push_back(v);
                return false;
            }
            switch (seen.mark(pdf_to_num(c, v))) {
                case SeenObjects::Mark::outside:
                    return true;
                case SeenObjects::Mark::first:
                    pending.push_back(v);
                    return false;
                case SeenObjects::Mark::again:
                    return false;
            }
            return false;
        };
        if (pdf_is_dict(c, obj)) {
            const int n = pdf_dict_len(c, obj);
            for (int i = 0; i < n; ++i) {
                pdf_obj* key = pdf_dict_get_key(c, obj, i);
                if (obj == page && pdf_name_eq(c, key, PDF_NAME(Parent))) continue;
                if (missing_or_visit(pdf_dict_get_val(c, obj, i)))
                    mupdf_call([&](fz_context* cc) noexcept { pdf_dict_put(cc, obj, key, PDF_NULL); });
            }
        } else if (pdf_is_array(c, obj)) {
            const int n = pdf_array_len(c, obj);
            if (n > MAX_WALKED_ARRAY) continue;  // left as it is
            for (int i = 0; i < n; ++i)
                if (missing_or_visit(pdf_array_get(c, obj, i)))
                    mupdf_call([&](fz_context* cc) noexcept { pdf_array_put(cc, obj, i, PDF_NULL); });
        }
    }
}

diag::RuntimeError content_too_large(const std::string& name, int page_index) {
    return diag::RuntimeError(diag::Text{"pdf_content_too_large",
                                         {{"name", name},
                                          {"page", std::to_string(page_index + 1)},
                                          {"limit", std::to_string(MAX_DECODED_CONTENT_BYTES >> 20)}}});
}

diag::RuntimeError content_broken(const std::string& name, int page_index, std::string detail) {
    return diag::RuntimeError(diag::Text{
        "pdf_content_broken", {{"name", name}, {"page", std::to_string(page_index + 1)}}, "", std::move(detail)});
}

void check_page_content(pdf_obj* page, bool repaired, int page_index, const std::string& name) {
    auto broken = [&](std::string detail) { return content_broken(name, page_index, std::move(detail)); };
    WarningWatch watch;
    fz_context* c = mupdf_context();
    if (!pdf_is_dict(c, page)) throw broken(watch.lost(true));

    std::vector<pdf_obj*> streams;
    pdf_obj* contents = pdf_dict_get(c, page, PDF_NAME(Contents));
    const int n = pdf_is_array(c, contents) ? pdf_array_len(c, contents) : 1;
    for (int i = 0; i < n; ++i) {
        pdf_obj* part = pdf_is_array(c, contents) ? pdf_array_get(c, contents, i) : contents;
        if (pdf_is_stream(c, part))
            streams.push_back(part);
        else if (repaired && pdf_is_indirect(c, part))
            throw broken("content stream lost");
    }
    std::vector<unsigned char> chunk(64 * 1024);
    std::size_t total = 0;
    for (pdf_obj* part : streams) {
        try {
            Stream in(mupdf_call([&](fz_context* cc) noexcept { return pdf_open_stream(cc, part); }));
            for (;;) {
                const std::size_t got = mupdf_call(
                    [&](fz_context* cc) noexcept { return fz_read(cc, in.get(), chunk.data(), chunk.size()); });
                if (got == 0) break;
                total += got;
                if (total > MAX_DECODED_CONTENT_BYTES) throw content_too_large(name, page_index);
            }
        } catch (const MemoryLimit&) {
            throw;
        } catch (const diag::Error& e) {
            if (e.text() != nullptr) throw;
            throw broken(e.what());
        }
    }
    if (std::string lost = watch.lost(repaired); !lost.empty()) throw broken(std::move(lost));
}

}  // namespace pdf::detail
