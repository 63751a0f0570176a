// The intake's own parts, shared by its units: the archive and its central directory
// (directory.cpp), where members land on disk (places.cpp), and reading the members for
// a job (intake.cpp). Only the intake includes this header.
#pragma once

#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "archive/intake.hpp"
#include "diag/errors.hpp"

namespace archive::detail {

namespace fs = std::filesystem;

struct ArchiveCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

// Per-member allowance for the free-space check on top of the declared size of a
// member written to a file: one file-system block and a directory entry.
inline constexpr std::uint64_t MEMBER_OVERHEAD_BYTES = 4096;

// A failure about one member of the archive, named as the archive names it.
diag::RuntimeError member_error(std::string key, std::string_view name,
                                std::vector<std::pair<std::string, std::string>> more = {},
                                std::source_location where = std::source_location::current());

// The failure "zip_member_write_failed" for the member whose safe path is `name`.
[[noreturn]] void fail_write(const std::string& name, std::error_code ec,
                             std::source_location where = std::source_location::current());

// Bytes as whole megabytes (MiB), rounded up, for messages.
std::string megabytes_up(std::uint64_t bytes);

// Opens the archive for reading; refuses one whose end record declares more than
// `max_members` members before libzip reads its directory. Throws diag::RuntimeError
// ("zip_damaged", "zip_open_failed", "zip_too_many_members").
Archive open_archive(const fs::path& zip_path, std::uint64_t max_members);

// A member's name as UTF-8 (see unpack_waybills). Throws zip_damaged.
std::string member_name(zip_t* za, zip_uint64_t index, const fs::path& zip_path, std::uint16_t code_page);

// Whether a raw member name names a folder (ends in a separator).
bool names_folder(std::string_view name);

// ".pdf" in any case, taken from the last dot; a name whose only dot leads it has
// no extension.
bool has_pdf_extension(std::string_view name);

// Whether the member of this raw name (as stored) is a PDF the job keeps: a file whose
// safe path ends in a name with the extension ".pdf".
bool is_pdf_member(std::string_view name);

// The member's entry in the central directory, with its raw name. Throws zip_damaged.
zip_stat_t stat_member(zip_t* za, zip_uint64_t index, const fs::path& zip_path);

// Which PDFs are held in memory: one within the per-member limit, while the bytes held
// stay within the budget; every other PDF goes to a file. The directory check and the
// listing of the waybills ask it member by member in archive order, so they take the
// same decisions.
// A budget of 0 holds nothing, not even an empty PDF.
class MemoryBudget {
public:
    explicit MemoryBudget(const Conditions& c) : total_(c.memory_bytes), member_(c.member_memory_bytes) {}
    // Whether a PDF of `size` bytes is held in memory; if so, its bytes are counted.
    bool hold(std::uint64_t size) {
        if (total_ == 0 || size > member_ || size > total_ - held_) return false;
        held_ += size;
        return true;
    }

private:
    std::uint64_t total_;
    std::uint64_t member_;
    std::uint64_t held_ = 0;
};

// Reads the central directory and refuses the archive, before anything is read or
// written, when a member cannot be unpacked (encrypted, an unknown method, larger than
// the limit), or when what goes to files would not fit in the free space. Returns the
// number of members.
// The free space is that of `parent`'s disk unless the conditions state it.
zip_uint64_t check_members(zip_t* za, const fs::path& zip_path, const Conditions& conditions, const fs::path& parent);

}  // namespace archive::detail
