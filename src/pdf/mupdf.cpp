#include "pdf/mupdf.hpp"

#include <algorithm>
#include <string>

#include "diag/errors.hpp"
#include "platform/native.hpp"

namespace pdf {

namespace {

struct ContextDropper {
    void operator()(fz_context* c) const noexcept { fz_drop_context(c); }
};

// MuPDF would print its warnings and errors on standard error; the program reports a
// failure itself, once, from the exception that carries MuPDF's message.
void quiet(void*, const char*) {}

fz_context* g_context = nullptr;

// MuPDF's memory, counted: a file can describe structures far larger than itself (an
// array of a hundred million numbers packs into a few kilobytes), so MuPDF may hold at
// most `limit` bytes at once; past it an allocation fails, MuPDF first empties its
// cache and then reports a memory error, which becomes MemoryLimit.
struct Budget {
    std::size_t used = 0;
    std::size_t limit = MUPDF_MEMORY_LIMIT;
};
Budget g_budget;

// What a block takes from the heap: its usable size and the allocator's own header
// (which matters for the millions of small objects a hostile file can describe).
std::size_t block_size(void* p) {
    constexpr std::size_t HEADER = 16;
    return platform::heap_block_size(p) + HEADER;
}

void* counted_malloc(void* opaque, std::size_t size) {
    auto* b = static_cast<Budget*>(opaque);
    if (size > b->limit - std::min(b->used, b->limit)) return nullptr;
    void* p = platform::heap_allocate(size);
    if (p) b->used += block_size(p);
    return p;
}

void* counted_realloc(void* opaque, void* old, std::size_t size) {
    auto* b = static_cast<Budget*>(opaque);
    const std::size_t old_size = old ? block_size(old) : 0;
    if (size > old_size && size - old_size > b->limit - std::min(b->used, b->limit)) return nullptr;
    void* p = platform::heap_reallocate(old, size);
    if (p)
        b->used = b->used - old_size + block_size(p);
    else if (size == 0)
        b->used -= old_size;
    return p;
}

void counted_free(void* opaque, void* p) {
    if (!p) return;
    static_cast<Budget*>(opaque)->used -= block_size(p);
    platform::heap_release(p);
}

fz_alloc_context g_alloc{&g_budget, counted_malloc, counted_realloc, counted_free};

std::unique_ptr<fz_context, ContextDropper> make_context() {
    std::unique_ptr<fz_context, ContextDropper> ctx(fz_new_context(&g_alloc, nullptr, FZ_STORE_DEFAULT));
    if (!ctx) throw diag::RuntimeError("cannot create the MuPDF context (out of memory)");
    fz_set_warning_callback(ctx.get(), quiet, nullptr);
    fz_set_error_callback(ctx.get(), quiet, nullptr);
    detail::run_guarded(
        ctx.get(), [](fz_context* c, void*) noexcept { fz_register_document_handlers(c); }, nullptr,
        std::source_location::current());
    g_context = ctx.get();
    return ctx;
}

}  // namespace

fz_context* mupdf_context() {
    static const std::unique_ptr<fz_context, ContextDropper> context = make_context();
    return context.get();
}

namespace detail {

fz_context* existing_context() noexcept { return g_context; }

void run_guarded(fz_context* ctx, Thunk thunk, void* arg, std::source_location where) {
    fz_try(ctx) { thunk(ctx, arg); }
    fz_catch(ctx) {
        const char* message = fz_caught_message(ctx);
        if (fz_caught(ctx) == FZ_ERROR_MEMORY)
            throw MemoryLimit(message && *message ? message : "out of memory", where);
        throw diag::RuntimeError(message && *message ? message : "MuPDF failed", where);
    }
}

void set_memory_limit(std::size_t bytes) noexcept { g_budget.limit = bytes; }

}  // namespace detail

Document open_pdf(const char* utf8_path) {
    return Document(mupdf_call([&](fz_context* c) noexcept { return pdf_open_document(c, utf8_path); }));
}

Document create_pdf() {
    return Document(mupdf_call([](fz_context* c) noexcept { return pdf_create_document(c); }));
}

int xref_len(pdf_document* doc) {
    return mupdf_call([&](fz_context* c) noexcept { return pdf_xref_len(c, doc); });
}

std::string_view bytes_of(const Buffer& buffer) noexcept {
    unsigned char* data = nullptr;
    const std::size_t len = fz_buffer_storage(detail::existing_context(), buffer.get(), &data);
    return {reinterpret_cast<const char*>(data), len};
}

}  // namespace pdf
