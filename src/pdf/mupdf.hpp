// The program's one boundary to MuPDF: the process-wide context, owning handles for
// MuPDF objects, and mupdf_call, which turns MuPDF's setjmp/longjmp errors into C++
// exceptions.
//
// Every MuPDF call that can throw runs inside mupdf_call. The callable it runs must be
// noexcept and must not create C++ objects with destructors: a MuPDF error longjmps
// out of it, past its frame, to the fz_try in mupdf_call. A guarded call makes at most
// one new MuPDF object and returns it last, so that nothing it made can leak when one
// of its calls fails; the caller puts the object into a handle at once.
#pragma once

#include <mupdf/fitz.h>
#include <mupdf/pdf.h>

#include <cstddef>
#include <memory>
#include <source_location>
#include <string_view>
#include <type_traits>

#include "diag/errors.hpp"

namespace pdf {

// The most memory MuPDF may hold at once, in bytes. A file can describe structures far
// larger than itself; this keeps a merge's memory bounded whatever a file says, well
// above what the largest archive the intake accepts needs.
inline constexpr std::size_t MUPDF_MEMORY_LIMIT = std::size_t{640} << 20;

// The process's one MuPDF context, with the document handlers registered and its
// memory counted against MUPDF_MEMORY_LIMIT; created on the first call ("loading the
// PDF library") and dropped at exit. Single-threaded use only. Throws
// diag::RuntimeError when the context cannot be created.
fz_context* mupdf_context();

// A MuPDF call needed more memory than MUPDF_MEMORY_LIMIT leaves.
class MemoryLimit : public diag::RuntimeError {
public:
    using diag::RuntimeError::RuntimeError;
};

namespace detail {

using Thunk = void (*)(fz_context*, void*) noexcept;

// Runs thunk(ctx, arg) inside fz_try; a MuPDF error becomes diag::RuntimeError with
// MuPDF's message, raised at `where` (MemoryLimit when MuPDF ran out of its memory).
void run_guarded(fz_context* ctx, Thunk thunk, void* arg, std::source_location where);

// The context for the handles' deleters: they run only after mupdf_context() made one.
fz_context* existing_context() noexcept;

// Sets the memory limit instead of MUPDF_MEMORY_LIMIT (tests use a small one).
void set_memory_limit(std::size_t bytes) noexcept;

template <class T, void (*Drop)(fz_context*, T*)>
struct Dropper {
    void operator()(T* p) const noexcept { Drop(existing_context(), p); }
};

}  // namespace detail

// Runs f(ctx) with the process context inside fz_try and returns its result. f must be
// noexcept, must not create objects with destructors and must return a trivially
// destructible value (a pointer, a number, an fz_rect). Throws diag::RuntimeError with
// MuPDF's message when a MuPDF call inside f fails; f is then cut short where it failed.
template <class F>
auto mupdf_call(F&& f, std::source_location where = std::source_location::current()) {
    using Fn = std::remove_reference_t<F>;
    using R = std::invoke_result_t<Fn&, fz_context*>;
    static_assert(std::is_nothrow_invocable_v<Fn&, fz_context*>, "the callable run by mupdf_call must be noexcept");
    fz_context* ctx = mupdf_context();
    if constexpr (std::is_void_v<R>) {
        detail::run_guarded(
            ctx, [](fz_context* c, void* p) noexcept { (*static_cast<Fn*>(p))(c); }, &f, where);
    } else {
        static_assert(std::is_trivially_destructible_v<R>, "mupdf_call returns only trivially destructible values");
        struct Call {
            Fn* fn;
            R result;
        } call{&f, R{}};
        detail::run_guarded(
            ctx,
            [](fz_context* c, void* p) noexcept {
                auto* k = static_cast<Call*>(p);
                k->result = (*k->fn)(c);
            },
            &call, where);
        return call.result;
    }
}

// Owning handles; each drops its object with the matching fz_drop_*/pdf_drop_*.
using Document = std::unique_ptr<pdf_document, detail::Dropper<pdf_document, pdf_drop_document>>;
using Object = std::unique_ptr<pdf_obj, detail::Dropper<pdf_obj, pdf_drop_obj>>;
using GraftMap = std::unique_ptr<pdf_graft_map, detail::Dropper<pdf_graft_map, pdf_drop_graft_map>>;
using Buffer = std::unique_ptr<fz_buffer, detail::Dropper<fz_buffer, fz_drop_buffer>>;
using Stream = std::unique_ptr<fz_stream, detail::Dropper<fz_stream, fz_drop_stream>>;
using Output = std::unique_ptr<fz_output, detail::Dropper<fz_output, fz_drop_output>>;
using Pixmap = std::unique_ptr<fz_pixmap, detail::Dropper<fz_pixmap, fz_drop_pixmap>>;
using TextPage = std::unique_ptr<fz_stext_page, detail::Dropper<fz_stext_page, fz_drop_stext_page>>;
using Image = std::unique_ptr<fz_image, detail::Dropper<fz_image, fz_drop_image>>;
using Font = std::unique_ptr<fz_font, detail::Dropper<fz_font, fz_drop_font>>;

// The bytes held by a buffer; valid while the buffer lives and is not changed. Does
// not throw.
std::string_view bytes_of(const Buffer& buffer) noexcept;

// Opens a PDF file (UTF-8 path) for reading; MuPDF repairs what it can. Throws
// diag::RuntimeError with MuPDF's message when the file cannot be opened or repaired.
Document open_pdf(const char* utf8_path);

// A new, empty PDF document. Throws diag::RuntimeError.
Document create_pdf();

// Length of a document's cross-reference table: object numbers run below it.
// Throws diag::RuntimeError.
int xref_len(pdf_document* doc);

}  // namespace pdf
