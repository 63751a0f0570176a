#include "pdf/merge.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "diag/errors.hpp"
#include "pdf/dedup.hpp"
#include "pdf/mupdf.hpp"
#include "pdf/source_pages.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"
#include "platform/staged_file.hpp"

namespace pdf {

namespace fs = std::filesystem;

namespace {

// MuPDF takes file names as UTF-8 on every platform.
using platform::utf8;

// --- writing the output ------------------------------------------------------------

// MuPDF writes the output through this sink into a staged file, so that a failed
// write keeps the system's error code (a full disk says so) instead of only MuPDF's
// English text.
struct Sink {
    platform::StagedFile* file;
    std::int64_t position = 0;
    std::error_code error{};
};

// Appends bytes to the staged file; an error is kept for the caller. Never throws.
bool sink_write(Sink& sink, const void* data, std::size_t n) noexcept {
    try {
        sink.file->write(std::string_view(static_cast<const char*>(data), n));
        sink.position += static_cast<std::int64_t>(n);
        return true;
    } catch (const fs::filesystem_error& e) {
        sink.error = e.code();
    } catch (...) {
        sink.error = std::make_error_code(std::errc::not_enough_memory);
    }
    return false;
}

void sink_write_callback(fz_context* c, void* state, const void* data, size_t n) {
    // No object with a destructor is alive when fz_throw leaves this frame.
    if (!sink_write(*static_cast<Sink*>(state), data, n)) fz_throw(c, FZ_ERROR_GENERIC, "cannot write the output");
}

int64_t sink_tell_callback(fz_context*, void* state) { return static_cast<Sink*>(state)->position; }

[[noreturn]] void fail_write(const fs::path& output_path, const std::error_code& ec) {
    throw diag::file_error("pdf_write_failed", output_path, ec);
}

// Writes the document to its place in one step: MuPDF writes a staged temporary file
// beside the output path (unique, claimed, removed if anything fails or the process is
// told to stop), which `place` then moves into place. Duplicates were merged already,
// so garbage level 2 (drop unused objects, renumber compactly) gives what level 4
// would, without its pairwise pass.
fs::path save_document(pdf_document* doc, const fs::path& output_path, const Placer& place) {
    std::optional<platform::StagedFile> file;
    try {
        file.emplace(output_path);
    } catch (const fs::filesystem_error& e) {
        fail_write(output_path, e.code());
    }
    Sink sink{&*file};
    pdf_write_options opts = pdf_default_write_options;
    opts.do_garbage = 2;
    opts.do_compress = 1;
    try {
        Output out(mupdf_call([&](fz_context* c) noexcept {
            fz_output* o = fz_new_output(c, 64 * 1024, &sink, sink_write_callback, nullptr, nullptr);
            o->tell = sink_tell_callback;
            return o;
        }));
        mupdf_call([&](fz_context* c) noexcept {
            pdf_write_document(c, doc, out.get(), &opts);
            fz_close_output(c, out.get());
        });
    } catch (const MemoryLimit&) {
        throw;
    } catch (const diag::RuntimeError& e) {
        if (sink.error) fail_write(output_path, sink.error);
        throw diag::RuntimeError(
            diag::Text{"pdf_write_failed", {{"path", utf8(output_path)}}, "fs_other", e.what()}, e.where());
    }
    const Placer at_output_path = [&](const fs::path& temp) {
        platform::rename_no_replace(temp, output_path);
        return output_path;
    };
    try {
        // Flushed to disk before it is placed: a job records its waybills after this,
        // and after a power cut the history must not name waybills of an output whose
        // bytes never reached the disk.
        return file->commit_with(place ? place : at_output_path, /*durable=*/true);
    } catch (const fs::filesystem_error& e) {
        fail_write(output_path, e.code());
    }
}

// --- sources -------------------------------------------------------------------------

diag::Text source_text(std::string key, const std::string& name, std::string detail = {}) {
    return diag::Text{std::move(key), {{"name", name}}, "", std::move(detail)};
}

// Runs the work on one source; a failure names the source, since MuPDF's own message
// ("no objects found") does not say which of many waybills is damaged, and is no text
// for the user: it becomes the detail of ours.
template <class Work>
void with_source(const std::string& name, Work&& work) {
    try {
        work();
    } catch (const MemoryLimit& e) {
        if (e.text() != nullptr) throw;
        diag::Text text = source_text("pdf_memory_limit", name, e.what());
        text.values.emplace_back("limit", std::to_string(MUPDF_MEMORY_LIMIT >> 20));
        throw MemoryLimit(std::move(text), e.where());
    } catch (const diag::Error& e) {
        if (e.text() != nullptr) throw;
        throw diag::RuntimeError(source_text("pdf_damaged", name, e.what()), e.where());
    }
}

// The failures of sources that cannot be merged, kept while the merge goes on to the
// next source, so that one message names every damaged waybill of an archive (the
// user downloads them again at once, not one per run).
class DamagedList {
public:
    // Runs with_source(name, work); keeps a failure that lies in the source itself and
    // lets any other pass (a file that cannot be read from the disk, MuPDF's memory
    // running out, the output).
    template <class Work>
    void run(const std::string& name, Work&& work) {
        try {
            with_source(name, std::forward<Work>(work));
        } catch (const diag::RuntimeError& e) {
            if (e.text() == nullptr || !in_source(e.text()->key)) throw;
            failures_.push_back(e);
            names_.push_back(name);
        }
    }

    // Throws the one failure as it was, or DamagedSources for several; nothing when
    // every source was read.
    void throw_if_any() const {
        if (failures_.empty()) return;
        if (failures_.size() == 1) throw failures_.front();
        std::vector<DamagedSources::Damaged> sources;
        for (std::size_t i = 0; i < failures_.size(); ++i) sources.push_back({names_[i], failures_[i].text()->detail});
        throw DamagedSources(std::move(sources));
    }

private:
    static bool in_source(std::string_view key) {
        for (std::string_view k : {"pdf_damaged", "pdf_no_pages", "pdf_password", "pdf_content_broken", "pdf_content_too_large"})
            if (key == k) return true;
        return false;
    }
    std::vector<diag::RuntimeError> failures_;
    std::vector<std::string> names_;
};

// Runs a whole merge; MuPDF's memory running out outside any one source (the output
// as a whole is too large) is said about the output.
template <class Merge>
MergeCounts whole_merge(const fs::path& output_path, Merge&& merge) {
    try {
        return merge();
    } catch (const MemoryLimit& e) {
        if (e.text() != nullptr) throw;
        throw MemoryLimit(diag::Text{"merge_memory_limit",
                                     {{"path", utf8(output_path)}, {"limit", std::to_string(MUPDF_MEMORY_LIMIT >> 20)}},
                                     "",
                                     e.what()},
                          e.where());
    }
}

// Sources up to this size (every usual waybill) are read into memory in one piece
// before MuPDF parses them: MuPDF reads a file in small pieces and seeks about in it
// (some 150 system calls for a waybill of 40 KB), and on Windows each call costs far
// more than here. Larger ones are read in pieces as MuPDF asks, which keeps the job's
// peak memory where it was.
constexpr std::uint64_t READ_WHOLE_BYTES = 1 << 20;

// A larger source as MuPDF reads it: a stream over the file reader it owns.
struct ReaderStream {
    explicit ReaderStream(platform::FileReader r) : reader(std::move(r)) {}
    platform::FileReader reader;
    std::array<unsigned char, 64 * 1024> buffer{};
};

// Fills the stream's buffer from its position (stm->pos: where the buffered bytes end).
// No object with a destructor is alive when fz_throw leaves this frame.
int reader_stream_next(fz_context* c, fz_stream* stm, size_t) {
    auto* s = static_cast<ReaderStream*>(stm->state);
    std::error_code ec;
    const std::size_t n = s->reader.read_at(static_cast<std::uint64_t>(stm->pos),
                                            std::span(reinterpret_cast<char*>(s->buffer.data()), s->buffer.size()), ec);
    if (ec) fz_throw(c, FZ_ERROR_GENERIC, "cannot read the file (system error %d)", ec.value());
    stm->rp = s->buffer.data();
    stm->wp = s->buffer.data() + n;
    stm->pos += static_cast<int64_t>(n);
    return n == 0 ? EOF : *stm->rp++;
}

// MuPDF turns a seek from the current place into one from the start; a place past
// the end reads as the end.
void reader_stream_seek(fz_context* c, fz_stream* stm, int64_t offset, int whence) {
    auto* s = static_cast<ReaderStream*>(stm->state);
    const int64_t target = (whence == SEEK_END ? static_cast<int64_t>(s->reader.size()) : 0) + offset;
    if (target < 0) fz_throw(c, FZ_ERROR_GENERIC, "cannot seek before the start of the file");
    stm->pos = target;
    stm->rp = stm->wp = s->buffer.data();
}

void reader_stream_drop(fz_context*, void* state) { delete static_cast<ReaderStream*>(state); }

// The source's document: read through the file still open from unpacking when there
// is one, else from its path. A file that cannot be opened or read is said as such,
// with the system's reason; what MuPDF cannot parse is a damaged file (with_source).
Document open_document(const Source& source) {
    std::optional<platform::FileReader> reader;
    try {
        reader.emplace(source.file != nullptr ? source.file->reader() : platform::FileReader(source.path));
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("file_read_failed", source.path, e.code());
    }
    const std::uint64_t size = reader->size();
    if (size <= READ_WHOLE_BYTES) {
        const auto whole = static_cast<std::size_t>(size);
        Buffer bytes(mupdf_call([&](fz_context* c) noexcept { return fz_new_buffer(c, std::max<std::size_t>(whole, 1)); }));
        unsigned char* data = nullptr;
        fz_buffer_storage(mupdf_context(), bytes.get(), &data);
        std::error_code ec;
        bytes->len = reader->read_at(0, std::span(reinterpret_cast<char*>(data), whole), ec);
        if (ec) throw diag::file_error("file_read_failed", source.path, ec);
        Stream stream(mupdf_call([&](fz_context* c) noexcept { return fz_open_buffer(c, bytes.get()); }));
        return Document(mupdf_call([&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stream.get()); }));
    }
    auto* state = new ReaderStream(std::move(*reader));  // MuPDF's stream owns it from here
    Stream stream(mupdf_call([&](fz_context* c) noexcept {
        fz_stream* stm = fz_new_stream(c, state, reader_stream_next, reader_stream_drop);  // drops `state` if it fails
        stm->seek = reader_stream_seek;
        return stm;
    }));
    return Document(mupdf_call([&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stream.get()); }));
}

// Opens a source and checks that it is not locked by a user password.
Document open_source(const Source& source, const std::string& name) {
    Document doc = open_document(source);
    if (mupdf_call([&](fz_context* c) noexcept { return pdf_needs_password(c, doc.get()); }) != 0)
        throw diag::RuntimeError(source_text("pdf_password", name));
    return doc;
}

bool was_repaired(pdf_document* doc) {
    return mupdf_call([&](fz_context* c) noexcept { return pdf_was_repaired(c, doc); }) != 0;
}

// --- what a source page refers to and what its content holds --------------------------

// Replaces every reference to an object that is not in the file (an object number
// outside its cross-reference table) by null, in everything the page reaches but its
// page tree, as the PDF standard and every viewer read such a reference: grafting
// would refuse it. `seen` holds the objects visited for this source, so a shared font
// or image is walked once per source.
constexpr int MAX_WALKED_ARRAY = 1 << 16;

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
            // No real page holds an array this long (a CID font's widths run to some
            // thousands); a file made to take memory may, and walking it would cost
            // more than copying it. It is left as it is.
            if (n > MAX_WALKED_ARRAY) continue;
            for (int i = 0; i < n; ++i)
                if (missing_or_visit(pdf_array_get(c, obj, i)))
                    mupdf_call([&](fz_context* cc) noexcept { pdf_array_put(cc, obj, i, PDF_NULL); });
        }
    }
}

// The failure of a page whose content decodes to more than MAX_DECODED_CONTENT_BYTES.
diag::RuntimeError content_too_large(const std::string& name, int page_index) {
    return diag::RuntimeError(diag::Text{"pdf_content_too_large",
                                         {{"name", name},
                                          {"page", std::to_string(page_index + 1)},
                                          {"limit", std::to_string(MAX_DECODED_CONTENT_BYTES >> 20)}}});
}

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
        } catch (...) {
        }
    }
    static_assert(noexcept(record(nullptr, "")), "MuPDF's callbacks must not throw");
    fz_warning_cb* previous_ = nullptr;
    void* previous_user_ = nullptr;
    std::vector<std::string> warnings_;
};

// The failure of page `page_index` (0-based) whose content cannot be read whole.
diag::RuntimeError content_broken(const std::string& name, int page_index, std::string detail) {
    return diag::RuntimeError(diag::Text{"pdf_content_broken",
                                         {{"name", name}, {"page", std::to_string(page_index + 1)}},
                                         "",
                                         std::move(detail)});
}

// Reads the content of one page in full, decoded, as a viewer draws it, and fails when
// it cannot be read whole: the page object itself is lost, a content stream breaks
// off or does not decompress, or (in a file MuPDF had to repair) a content stream
// runs into the end of the file or is missing altogether. A repaired file whose pages
// read in full is merged (and listed as repaired); a reference to an object that is
// not in an intact file reads as null, an empty page. Throws diag::RuntimeError
// ("pdf_content_broken", or "pdf_content_too_large" past MAX_DECODED_CONTENT_BYTES).
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
        if (pdf_is_stream(c, part)) streams.push_back(part);
        else if (repaired && pdf_is_indirect(c, part)) throw broken("content stream lost");
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

// --- annotations -----------------------------------------------------------------------

int annotation_flags(fz_context* c, pdf_obj* annot) noexcept { return pdf_dict_get_int(c, annot, PDF_NAME(F)); }

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

// Leaves one copy of each annotation that a page's /Annots lists more than once: the
// copies would be copied, and drawn, twice, and a link's copy would have its
// destination taken apart twice. Returns whether any copy was left out.
bool drop_repeated_annotations(pdf_obj* annots) {
    const std::vector<int> repeats = list_annotations(annots).repeats;
    for (auto i = repeats.rbegin(); i != repeats.rend(); ++i)
        mupdf_call([&](fz_context* c) noexcept { pdf_array_delete(c, annots, *i); });
    return !repeats.empty();
}

// What prepare_annotations made of one annotation.
struct Prepared {
    int target = -1;        // the source page its link points at, or -1
    bool dangling = false;  // a link to a page that is not in the source: left out
    bool cut = false;       // a field whose chain of parents had to be cut
};

// Makes the annotations of a source page ready to be grafted onto a page of another
// document. Grafting follows every reference, so whatever leads outside the page
// (/P to the page and so to the whole page tree, /Parent to a form field, /Popup and
// /IRT to annotations of other pages, a link to a page, additional actions) is cut
// here, in the source document held in memory (never saved). A link whose page is not
// in the source (a page outside its page tree, a name no destination has) leads
// nowhere and is left out of /Annots. The page lists each annotation once
// (drop_repeated_annotations). Returns, for each annotation left in /Annots, the page
// of the source its link points at, or -1; and whether anything had to be read around
// damage (a link left out, a field chain cut).
struct PreparedAnnotations {
    std::vector<int> link_targets;
    bool repaired = false;
};

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
            if (pdf_name_eq(c, pdf_dict_get(c, a, PDF_NAME(Subtype)), PDF_NAME(Widget))) out.cut = take_field_entries(c, a);
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
        if (p.dangling) dangling.push_back(i);
        else result.link_targets.push_back(p.target);
        result.repaired = result.repaired || p.dangling || p.cut;
    }
    for (auto i = dangling.rbegin(); i != dangling.rend(); ++i)
        mupdf_call([&](fz_context* c) noexcept { pdf_array_delete(c, annots, *i); });
    return result;
}

// A link of the output waiting for the page it points at.
struct PendingLink {
    pdf_obj* annot;  // borrowed from the output's page
    int source_page;
};

// --- layout 1 --------------------------------------------------------------------------

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

// One source on its way into the output: opened once for the whole merge, its pages
// found by one walk over its page tree, with a graft map of its own so that what its
// pages share is copied once. Objects numbered from `first_new_object` on are the ones
// its copy adds to the output. Throws as with_source expects: "pdf_password",
// "pdf_no_pages", "pdf_content_broken" for a page that is lost, MuPDF's message.
struct SourceCopy {
    SourceCopy(pdf_document* out, const Source& source, const std::string& source_name)
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

    int pages() const { return tree.count(); }
    pdf_obj* page(int index) const { return tree.pages[static_cast<std::size_t>(index)].get(); }

    // Makes page `index` ready to be copied: references to objects that are not in the
    // file read as null, its annotations listed once each, and its content read in full
    // (check_page_content). Throws as check_page_content.
    void prepare_page(int index) {
        pdf_obj* p = page(index);
        null_missing_references(p, tree.numbers[static_cast<std::size_t>(index)], seen);
        pdf_obj* annots = mupdf_call([&](fz_context* c) noexcept { return pdf_dict_get(c, p, PDF_NAME(Annots)); });
        if (annots && drop_repeated_annotations(annots)) repaired = true;
        check_page_content(p, was_repaired(doc.get()), index, name);
    }

    std::string name;
    Document doc;
    SourcePages tree;
    GraftMap map;
    int first_new_object;
    SeenObjects seen;  // objects whose references null_missing_references has looked at
    // MuPDF repaired the file, or its page tree, field chains or links were read around
    // damage: merged as far as it reads, and listed for the user to check.
    bool repaired = false;
};

// Copies page `index` of the source into `out` as pdf_graft_mapped_page does (the
// page's own and inherited boxes, rotation, resources and contents, through the
// source's graft map, so what its pages share is copied once), and also its
// transparency group, which decides how its half-transparent parts blend, and its
// annotations with every reference that leads off the page cut (prepare_annotations);
// appends it to the tree. Returns the output page (a reference) and adds the links that
// wait for their page.
Object graft_page(pdf_document* out, SourceCopy& source, int index, PageTree& tree, std::vector<PendingLink>& links) {
    static pdf_obj* const copied_keys[] = {
        PDF_NAME(Contents), PDF_NAME(Resources), PDF_NAME(MediaBox), PDF_NAME(CropBox), PDF_NAME(BleedBox),
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
    if (annots) {
        const PreparedAnnotations prepared = prepare_annotations(source.doc.get(), annots, source.tree);
        if (prepared.repaired) source.repaired = true;
        const std::vector<int>& targets = prepared.link_targets;
        mupdf_call([&](fz_context* c) noexcept {
            pdf_obj* copy = pdf_graft_mapped_object(c, map, annots);
            pdf_dict_put_drop(c, page.get(), PDF_NAME(Annots), copy);
            pdf_obj* list = pdf_dict_get(c, page.get(), PDF_NAME(Annots));
            const int n = pdf_array_len(c, list);
            for (int i = 0; i < n; ++i) {
                pdf_obj* a = pdf_array_get(c, list, i);
                if (!pdf_is_dict(c, a)) continue;
                pdf_dict_put(c, a, PDF_NAME(P), page.get());
            }
        });
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (targets[i] < 0) continue;
            pdf_obj* a = mupdf_call([&](fz_context* c) noexcept {
                return pdf_array_get(c, pdf_dict_get(c, page.get(), PDF_NAME(Annots)), static_cast<int>(i));
            });
            links.push_back({a, targets[i]});
        }
    }
    tree.append(page.get());
    return page;
}

// --- layouts 4, 6, 9 -----------------------------------------------------------------

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
        mupdf_call([&](fz_context* c) noexcept { pdf_dict_put(c, dict.get(), PDF_NAME(Filter), PDF_NAME(FlateDecode)); });
    } else {
        // No content stream at all: an empty page, shown as a blank cell.
        content.reset(mupdf_call([](fz_context* c) noexcept { return fz_new_buffer(c, 1); }));
        encoded = false;
    }
    return Object(
        mupdf_call([&](fz_context* c) noexcept { return pdf_add_stream(c, out, content.get(), dict.get(), encoded ? 1 : 0); }));
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

// A form XObject showing one source page as a viewer shows it: the page's own content
// (page_content_form) and, over it, the appearance of each annotation the viewer
// shows, each mapped from its BBox (and Matrix) onto its /Rect.
Placed make_page_form(pdf_document* out, const SourceCopy& source, int page_index, Rect cell) {
    pdf_document* src = source.doc.get();
    pdf_graft_map* map = source.map.get();
    pdf_obj* page = source.page(page_index);
    fz_rect visible{};
    fz_matrix ctm{};
    mupdf_call([&](fz_context* c) noexcept { pdf_page_obj_transform(c, page, &visible, &ctm); });
    Object content = page_content_form(out, src, map, page, visible, source.name, page_index);

    struct Shown {
        pdf_obj* appearance = nullptr;  // borrowed from the source
        Matrix m{};
    };
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

    const Rect box = rect_of(visible);
    const Matrix placement = place_in_cell(box, matrix_of(ctm), cell);
    if (shown.empty()) return Placed{mupdf_call([&](fz_context* c) noexcept { return pdf_to_num(c, content.get()); }), placement};

    // The page's content and the appearances, each a form of its own, so that a state
    // the content leaves behind does not reach the appearances.
    std::string text = "q /Pg Do Q\n";
    Object dict(mupdf_call([&](fz_context* c) noexcept { return pdf_new_dict(c, out, 8); }));
    mupdf_call([&](fz_context* c) noexcept {
        pdf_dict_put(c, dict.get(), PDF_NAME(Type), PDF_NAME(XObject));
        pdf_dict_put(c, dict.get(), PDF_NAME(Subtype), PDF_NAME(Form));
        pdf_dict_put_rect(c, dict.get(), PDF_NAME(BBox), visible);
        pdf_obj* xobjects = pdf_dict_put_dict(c, pdf_dict_put_dict(c, dict.get(), PDF_NAME(Resources), 1),
                                              PDF_NAME(XObject), static_cast<int>(shown.size()) + 1);
        pdf_dict_puts(c, xobjects, "Pg", content.get());
    });
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const std::string name = "An" + std::to_string(i);
        const Matrix& m = shown[i].m;
        text += "q ";
        for (double v : {m.a, m.b, m.c, m.d, m.e, m.f}) {
            text += format_number(v, 6);
            text += ' ';
        }
        text += "cm /" + name + " Do Q\n";
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
    return Placed{mupdf_call([&](fz_context* c) noexcept { return pdf_to_num(c, ref.get()); }), placement};
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

void tell(const MergeProgress& progress, std::size_t done, std::size_t total) {
    if (progress) progress(MergeStep{done, total, false});
}

void tell_saving(const MergeProgress& progress, std::size_t total) {
    if (progress) progress(MergeStep{total, total, true});
}

void note_if_repaired(const SourceCopy& source, const fs::path& file, std::vector<fs::path>& repaired) {
    const bool was = source.repaired || was_repaired(source.doc.get());
    if (was && (repaired.empty() || repaired.back() != file)) repaired.push_back(file);
}

}  // namespace

std::string Source::display_name() const { return name.empty() ? utf8(path.filename()) : name; }

DamagedSources::DamagedSources(std::vector<Damaged> sources, std::source_location where)
    : diag::RuntimeError(
          [&] {
              std::string names;
              std::string details;
              for (const Damaged& d : sources) {
                  names += (names.empty() ? "" : "\n") + d.name;
                  if (!d.detail.empty()) details += (details.empty() ? "" : "; ") + d.name + ": " + d.detail;
              }
              return diag::Text{"pdf_damaged_many", {{"count", std::to_string(sources.size())}, {"names", names}}, "",
                                details};
          }(),
          where),
      sources_(std::make_shared<const std::vector<Damaged>>(std::move(sources))) {}

std::vector<PageItem> collect_pages(const std::vector<Source>& pdf_files) {
    std::vector<PageItem> items;
    DamagedList damaged;
    for (const Source& source : pdf_files) {
        const std::string name = source.display_name();
        damaged.run(name, [&] {
            Document doc = open_source(source, name);
            const SourcePages tree = walk_pages(doc.get());
            if (tree.lost >= 0) throw content_broken(name, tree.lost, "page object lost");
            if (tree.count() == 0) throw diag::RuntimeError(source_text("pdf_no_pages", name));
            for (int i = 0; i < tree.count(); ++i) items.push_back(PageItem{source.path, i});
        });
    }
    damaged.throw_if_any();
    return items;
}

MergeCounts merge_1up(const std::vector<Source>& pdf_files, const fs::path& output_path, const Placer& place,
                      const MergeProgress& progress) {
    return whole_merge(output_path, [&] {
        Document out = create_pdf();
        PageTree tree(out.get());
        ObjectMerger merger(out.get());
        MergeCounts counts;
        DamagedList damaged;
        std::size_t done = 0;
        for (const Source& input : pdf_files) {
            const std::string name = input.display_name();
            damaged.run(name, [&] {
                SourceCopy source(out.get(), input, name);
                std::vector<Object> pages;
                std::vector<PendingLink> links;
                for (int i = 0; i < source.pages(); ++i) {
                    source.prepare_page(i);
                    pages.push_back(graft_page(out.get(), source, i, tree, links));
                }
                // Links within the source point at its pages in the output.
                for (const PendingLink& link : links) {
                    mupdf_call([&](fz_context* c) noexcept {
                        pdf_array_put(c, pdf_dict_get(c, link.annot, PDF_NAME(Dest)), 0, pages[link.source_page].get());
                    });
                }
                note_if_repaired(source, input.path, counts.repaired);
                source.map.reset();
                merger.merge_new_objects(source.first_new_object);
                counts.total_pages += source.pages();
            });
            tell(progress, ++done, pdf_files.size());
        }
        damaged.throw_if_any();
        counts.final_sheets = counts.total_pages;
        tell_saving(progress, pdf_files.size());
        counts.written = save_document(out.get(), output_path, place);
        return counts;
    });
}

MergeCounts merge_nup(const std::vector<Source>& pdf_files, const fs::path& output_path, int nup,
                      const Placer& place, const MergeProgress& progress) {
    if (!is_grid_layout(nup))
        throw diag::InvalidValue("layout " + std::to_string(nup) + " is not a grid layout (4, 6 or 9)");
    return whole_merge(output_path, [&] {
        Document out = create_pdf();
        PageTree tree(out.get());
        ObjectMerger merger(out.get());
        std::vector<Placed> pending;  // cells of the sheet being filled
        MergeCounts counts;
        DamagedList damaged;
        std::size_t done = 0;
        for (const Source& input : pdf_files) {
            const std::string name = input.display_name();
            damaged.run(name, [&] {
                SourceCopy source(out.get(), input, name);
                for (int i = 0; i < source.pages(); ++i) {
                    source.prepare_page(i);
                    const Rect cell = cell_rect(nup, static_cast<int>(pending.size()));
                    pending.push_back(make_page_form(out.get(), source, i, cell));
                    if (static_cast<int>(pending.size()) == nup) {
                        add_sheet(out.get(), tree, pending);
                        ++counts.final_sheets;
                        pending.clear();
                    }
                }
                note_if_repaired(source, input.path, counts.repaired);
                source.map.reset();
                const Remap moved = merger.merge_new_objects(source.first_new_object);
                for (Placed& p : pending) p.form = final_number(moved, p.form);
                counts.total_pages += source.pages();
            });
            tell(progress, ++done, pdf_files.size());
        }
        damaged.throw_if_any();
        if (!pending.empty()) {
            add_sheet(out.get(), tree, pending);
            ++counts.final_sheets;
        }
        tell_saving(progress, pdf_files.size());
        counts.written = save_document(out.get(), output_path, place);
        return counts;
    });
}

MergeCounts merge_selected(const std::vector<Source>& pdf_files, const fs::path& output_path, int nup,
                           const Placer& place, const MergeProgress& progress) {
    if (!is_supported_layout(nup))
        throw diag::InvalidValue("unsupported layout " + std::to_string(nup));
    return nup == 1 ? merge_1up(pdf_files, output_path, place, progress)
                    : merge_nup(pdf_files, output_path, nup, place, progress);
}

}  // namespace pdf
