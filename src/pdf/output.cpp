// Writing the merged document: MuPDF's output goes through a sink into a staged file,
// which is placed once it is complete.
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

#include "diag/errors.hpp"
#include "pdf/engine.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

namespace pdf::detail {

namespace fs = std::filesystem;
using platform::utf8;

namespace {

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

void sink_write_callback(fz_context* c, void* state, const void* data, size_t n) noexcept {
    // No object with a destructor is alive when fz_throw leaves this frame.
    if (!sink_write(*static_cast<Sink*>(state), data, n)) fz_throw(c, FZ_ERROR_GENERIC, "cannot write the output");
}

int64_t sink_tell_callback(fz_context*, void* state) noexcept { return static_cast<Sink*>(state)->position; }

[[noreturn]] void fail_write(const fs::path& output_path, const std::error_code& ec) {
    throw diag::file_error("pdf_write_failed", output_path, ec);
}

}  // namespace

// The staged file is unique and claimed, and removed if anything fails or the process
// is told to stop. Duplicates were merged already, so garbage level 2 (drop unused
// objects, renumber compactly) gives what level 4 would, without its pairwise pass.
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
        throw diag::RuntimeError(diag::Text{"pdf_write_failed", {{"path", utf8(output_path)}}, "fs_other", e.what()},
                                 e.where());
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

}  // namespace pdf::detail
