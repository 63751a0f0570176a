#include "diag/error_log.hpp"

#include <cxxabi.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <system_error>
#include <typeinfo>

#include "diag/errors.hpp"
#include "platform/native.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

namespace diag {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view ENTRY_HEADER = "\n===== ERROR ";

std::string local_timestamp() {
    const auto tm = platform::local_time(std::time(nullptr));
    if (!tm) return "0000-00-00 00:00:00";
    char buf[32];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &*tm);
    return std::string(buf, n);
}

std::string type_name(const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(typeid(e).name());
}

// Where the failure was raised, one line with its line break.
std::string traceback(const std::exception& e) {
    if (const auto* error = dynamic_cast<const Error*>(&e)) {
        const std::source_location& at = error->where();
        return "  at " + std::string(at.file_name()) + ":" + std::to_string(at.line()) + " in " + at.function_name() +
               "\n";
    }
    return "  (no source location recorded; " + type_name(e) + ")\n";
}

// Every line break as CR LF, whatever the text brought along (LF, CR LF or a lone CR).
std::string crlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

fs::path ErrorLog::path() const {
    fs::create_directories(folder);
    return folder / "error.log";
}

void trim_log_file(const fs::path& path, std::uintmax_t max_bytes) noexcept {
    try {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(path, ec);
        if (ec || size <= max_bytes) return;
        std::ifstream in(path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(size - max_bytes));
        std::string tail(static_cast<std::size_t>(max_bytes), '\0');
        in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
        if (in.gcount() != static_cast<std::streamsize>(tail.size())) return;  // changed under us
        in.close();
        const auto header = tail.find(ENTRY_HEADER);
        std::string_view kept = tail;
        if (header != std::string::npos && header > 0) kept.remove_prefix(header + 1);
        platform::write_file_atomically(path, kept);
    } catch (...) {
        // Trimming is housekeeping: whatever state the file is in stays.
    }
}

std::string format_error_entry(std::string_view title, const std::exception* exc, std::string_view extra,
                               std::string_view timestamp, std::string_view app) {
    std::string entry = "\n===== ERROR " + std::string(timestamp) + " =====\n";
    entry += "App: " + std::string(app) + "\n";
    entry += "Title: " + std::string(title) + "\n";
    if (!extra.empty()) entry += "Extra:\n" + std::string(extra) + "\n";
    if (exc != nullptr) entry += "Exception:\n" + std::string(exc->what()) + "\nTraceback:\n" + traceback(*exc) + "\n";
    entry += "===== END ERROR =====\n";
    return entry;
}

namespace {

// The log could not be written at `path`: the catalogue text `log_write_failed` with
// the plain-word reason for `ec`, and the system's own words as the detail. A file
// standing where the logs folder should be is said as such (the system calls it
// "exists" or "not a directory", which reads as nonsense to a user).
RuntimeError log_error(const fs::path& folder, const fs::path& path, const std::error_code& ec,
                       std::source_location where = std::source_location::current()) {
    std::error_code kind_ec;
    const fs::file_status folder_status = fs::status(folder, kind_ec);
    const bool file_in_the_way = !kind_ec && fs::exists(folder_status) && !fs::is_directory(folder_status);
    const char* advice = file_in_the_way ? "fs_not_a_folder" : advice_for(ec);
    return RuntimeError(Text{"log_write_failed", {{"path", platform::utf8(path)}}, advice, ec.message()}, where);
}

}  // namespace

fs::path ErrorLog::write(std::string_view title, const std::exception* exc, std::string_view extra) const {
    fs::path path;
    try {
        path = this->path();
    } catch (const fs::filesystem_error& e) {
        throw log_error(folder, folder / "error.log", e.code());
    }
    const std::string bytes = crlf(format_error_entry(title, exc, extra, local_timestamp(), app));

    // Unbuffered, so the entry reaches the file in one write: two program instances
    // logging at once do not interleave inside an entry.
    std::ofstream out;
    out.rdbuf()->pubsetbuf(nullptr, 0);
    errno = 0;
    out.open(path, std::ios::binary | std::ios::app);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const int open_or_write_errno = errno;
    out.close();
    if (!out) {
        const int err = open_or_write_errno != 0 ? open_or_write_errno : (errno != 0 ? errno : EIO);
        throw log_error(folder, path, std::error_code(err, std::generic_category()));
    }
    trim_log_file(path);
    return path;
}

bool ErrorLog::write_quietly(std::string_view title, const std::exception* exc, std::string_view extra) const noexcept {
    try {
        write(title, exc, extra);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace diag
