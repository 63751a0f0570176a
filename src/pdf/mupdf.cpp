#include "pdf/mupdf.hpp"

#include <string>

#include "diag/errors.hpp"

namespace pdf {

namespace {

struct ContextDropper {
    void operator()(fz_context* c) const noexcept { fz_drop_context(c); }
};

// MuPDF would print its warnings and errors on standard error; the program reports a
// failure itself, once, from the exception that carries MuPDF's message.
void quiet(void*, const char*) {}

fz_context* g_context = nullptr;

std::unique_ptr<fz_context, ContextDropper> make_context() {
    std::unique_ptr<fz_context, ContextDropper> ctx(fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT));
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
        throw diag::RuntimeError(message && *message ? message : "MuPDF failed", where);
    }
}

}  // namespace detail

Document open_pdf(const char* utf8_path) {
    return Document(mupdf_call([&](fz_context* c) noexcept { return pdf_open_document(c, utf8_path); }));
}

Document create_pdf() {
    return Document(mupdf_call([](fz_context* c) noexcept { return pdf_create_document(c); }));
}

int count_pages(pdf_document* doc) {
    return mupdf_call([&](fz_context* c) noexcept { return pdf_count_pages(c, doc); });
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
