// The sources of a merge: opening them (read whole into memory, or through a stream
// over the file), and keeping the failures of damaged ones until every source was read.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

#include "pdf/engine.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace pdf::detail {

namespace fs = std::filesystem;

namespace {

// Runs the work on one source, its failures named as DamagedList::run says.
void with_source(const std::string& name, const std::function<void()>& work) {
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

// Whether a failure with this catalogue message lies in the source itself.
bool in_source(std::string_view key) {
    for (std::string_view k :
         {"pdf_damaged", "pdf_no_pages", "pdf_password", "pdf_content_broken", "pdf_content_too_large"})
        if (key == k) return true;
    return false;
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
int reader_stream_next(fz_context* c, fz_stream* stm, size_t) noexcept {
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
void reader_stream_seek(fz_context* c, fz_stream* stm, int64_t offset, int whence) noexcept {
    auto* s = static_cast<ReaderStream*>(stm->state);
    const int64_t target = (whence == SEEK_END ? static_cast<int64_t>(s->reader.size()) : 0) + offset;
    if (target < 0) fz_throw(c, FZ_ERROR_GENERIC, "cannot seek before the start of the file");
    stm->pos = target;
    stm->rp = stm->wp = s->buffer.data();
}

void reader_stream_drop(fz_context*, void* state) noexcept { delete static_cast<ReaderStream*>(state); }

// The source's document: read from its bytes in memory, or through the file still open
// from unpacking when there is one, else from its path. A file that cannot be opened or read is said as such,
// with the system's reason; what MuPDF cannot parse is a damaged file (DamagedList).
Document open_document(const Source& source) {
    if (source.bytes != nullptr) {
        // Borrowed, not copied: the bytes outlive the document (Source's contract).
        const std::string& held = *source.bytes;
        Buffer bytes(mupdf_call([&](fz_context* c) noexcept {
            return fz_new_buffer_from_shared_data(c, reinterpret_cast<const unsigned char*>(held.data()), held.size());
        }));
        Stream stream(mupdf_call([&](fz_context* c) noexcept { return fz_open_buffer(c, bytes.get()); }));
        return Document(
            mupdf_call([&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stream.get()); }));
    }
    std::optional<platform::FileReader> reader;
    try {
        reader.emplace(source.file != nullptr ? source.file->reader() : platform::FileReader(source.path));
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("file_read_failed", source.path, e.code());
    }
    const std::uint64_t size = reader->size();
    if (size <= READ_WHOLE_BYTES) {
        const auto whole = static_cast<std::size_t>(size);
        Buffer bytes(
            mupdf_call([&](fz_context* c) noexcept { return fz_new_buffer(c, std::max<std::size_t>(whole, 1)); }));
        unsigned char* data = nullptr;
        fz_buffer_storage(mupdf_context(), bytes.get(), &data);
        std::error_code ec;
        bytes->len = reader->read_at(0, std::span(reinterpret_cast<char*>(data), whole), ec);
        if (ec) throw diag::file_error("file_read_failed", source.path, ec);
        Stream stream(mupdf_call([&](fz_context* c) noexcept { return fz_open_buffer(c, bytes.get()); }));
        return Document(
            mupdf_call([&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stream.get()); }));
    }
    auto* state = new ReaderStream(std::move(*reader));  // MuPDF's stream owns it from here
    Stream stream(mupdf_call([&](fz_context* c) noexcept {
        fz_stream* stm = fz_new_stream(c, state, reader_stream_next, reader_stream_drop);  // drops `state` if it fails
        stm->seek = reader_stream_seek;
        return stm;
    }));
    return Document(mupdf_call([&](fz_context* c) noexcept { return pdf_open_document_with_stream(c, stream.get()); }));
}

}  // namespace

diag::Text source_text(std::string key, const std::string& name, std::string detail) {
    return diag::Text{std::move(key), {{"name", name}}, "", std::move(detail)};
}

void DamagedList::run(const std::string& name, const std::function<void()>& work) {
    try {
        with_source(name, work);
    } catch (const diag::RuntimeError& e) {
        if (e.text() == nullptr || !in_source(e.text()->key)) throw;
        failures_.push_back(e);
        names_.push_back(name);
    }
}

void DamagedList::throw_if_any() const {
    if (failures_.empty()) return;
    if (failures_.size() == 1) throw failures_.front();
    std::vector<DamagedSources::Damaged> sources;
    for (std::size_t i = 0; i < failures_.size(); ++i) sources.push_back({names_[i], failures_[i].text()->detail});
    throw DamagedSources(std::move(sources));
}

void run_for_output(const fs::path& output_path, const std::function<void()>& work) {
    try {
        work();
    } catch (const MemoryLimit& e) {
        if (e.text() != nullptr) throw;
        throw MemoryLimit(
            diag::Text{"merge_memory_limit",
                       {{"path", platform::utf8(output_path)}, {"limit", std::to_string(MUPDF_MEMORY_LIMIT >> 20)}},
                       "",
                       e.what()},
            e.where());
    }
}

Document open_source(const Source& source, const std::string& name) {
    Document doc = open_document(source);
    if (mupdf_call([&](fz_context* c) noexcept { return pdf_needs_password(c, doc.get()); }) != 0)
        throw diag::RuntimeError(source_text("pdf_password", name));
    return doc;
}

bool was_repaired(pdf_document* doc) {
    return mupdf_call([&](fz_context* c) noexcept { return pdf_was_repaired(c, doc); }) != 0;
}

}  // namespace pdf::detail
