// Archive intake: unpacks a waybill archive into a scratch folder and lists its PDFs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace archive {

// One waybill of an archive: the file unpacked in the scratch folder, and its own name
// as the archive gives it (the last component of the member's safe path, UTF-8). The
// two differ only where the archive's name is too long for the file system: the file
// then has a shortened name, while the history key, the order and every message use
// `name`.
struct Waybill {
    std::filesystem::path path;
    std::string name;
    // The member's safe path inside the archive ("/"-separated, UTF-8): what a list of
    // the archive's waybills shows. `path` ends in it unless the name was shortened.
    std::string member_path{};
    // SHA-256 of the file's bytes, 64 lower-case hex digits, taken as it was written.
    std::string sha256{};
    // The file itself, still open for reading; owned by the Unpacked the waybill is in.
    const platform::ScratchFile* file = nullptr;
};

// What an archive holds: its waybills in the job's order (as extract_pdfs lists them),
// and the paths inside the archive of the files that were left out as repeats of a
// waybill of the same name although their content differs from the one kept (in walk
// order; the user must be told, since one of them is not printed).
// It owns every PDF unpacked (waybills and repeats): they are read back through it and
// deleted with it, on Windows also when the process is killed. The other members are
// closed once written and stay in the scratch folder until the caller removes it, so
// that nothing is kept for them. Move-only; moving it keeps the waybills' `file`
// pointers valid.
struct Unpacked {
    std::vector<Waybill> waybills;
    std::vector<std::string> conflicting_duplicates;
    std::vector<platform::ScratchFile> files{};
};

// Told how far the unpacking is, in members of the archive (folders included): before
// each member with the members done so far, and once more with all of them done.
// Called on the unpacking thread; must not throw.
using UnpackProgress = std::function<void(std::size_t done, std::size_t total)>;

// extract_pdfs, with the waybills' own names and the repeats whose content differs, and
// the PDFs kept open in the result rather than left in `temp_dir`. Names that the
// archive does not state to be UTF-8 are decoded from `oem_code_page`, the OEM code
// page of the user's system (platform::oem_code_page()): 866 (Cyrillic, what Windows'
// own compressed folders write on Russian and Kazakh systems), else 437. Throws as
// extract_pdfs.
Unpacked unpack_waybills(const std::filesystem::path& zip_path, const std::filesystem::path& temp_dir,
                         std::uint16_t oem_code_page, const UnpackProgress& progress = {});

// The paths of the waybills, in order.
std::vector<std::filesystem::path> paths_of(const Unpacked& unpacked);

// Unpacks every member of the ZIP archive `zip_path` into `temp_dir` (an existing,
// empty scratch folder owned by the caller) and returns the source list: absolute
// paths of the regular files with the extension ".pdf" in any case, at any depth,
// one per normalised name (the first in walk order wins), sorted stably by the
// case-folded file name in code-point order. An archive without PDFs gives an
// empty list. Walk order: the files of the archive's top level first, then folder by
// folder, depth first; within a folder, files and sub-folders in the order the
// archive names them (so of two files whose names differ only in letter case, the
// first in the archive wins). Each member is written once and hashed while written;
// no folder is listed afterwards.
//
// Member names are UTF-8 when the member says so (bit 11, or a Unicode Path extra
// field whose CRC matches) and CP437 otherwise; "\" separates folders. Every path is
// made safe: it never leaves `temp_dir`, and members stored as symbolic links are
// written as plain files. A name too long for the file system (over 255 bytes, or a
// whole path over the system's limit) is unpacked under a shortened, still unique
// name. Every member is unpacked, and never over another: of two members with one
// path, or a file and a folder of one name ("d" and "d/x.pdf"), the later one lands
// under a numbered name ("d~2/x.pdf"). Names, order and repeats are decided on the
// archive's own names (unpack_waybills gives them).
//
// Before anything is written the archive is refused when it has more than
// `MAX_MEMBERS` members (folders included; decided from its end record before the
// directory is read), when a member is encrypted or uses a compression method that
// cannot be read, when one member declares more than `MAX_MEMBER_BYTES`, or when the
// members would not fit in the free space of `temp_dir`'s disk; the message gives the
// figures (in MB, and in members). How far the archive packs does not matter. Data is
// copied in pieces, and a member whose data runs past its declared size is stopped.
//
// Throws diag::RuntimeError with a catalogue message (diag::Text naming the archive or
// the member at fault) for every failure: not a ZIP or a damaged archive, too many
// members, an encrypted member, a CRC mismatch, an unsupported method, a member too
// large, too little disk space, a file that cannot be written. What was
// unpacked before a failure stays in `temp_dir`; the caller removes the folder.
std::vector<std::filesystem::path> extract_pdfs(const std::filesystem::path& zip_path,
                                                const std::filesystem::path& temp_dir);

// The largest uncompressed size one member may declare: 1 GiB. No waybill comes near it.
inline constexpr std::uint64_t MAX_MEMBER_BYTES = std::uint64_t{1} << 30;

// The most members (files and folders) an archive may have: a marketplace's day is a
// few thousand waybills. An archive of millions of empty members would otherwise cost
// memory for each (libzip's directory alone takes some 300 bytes per member) and
// minutes of unpacking.
inline constexpr std::uint64_t MAX_MEMBERS = 100000;

namespace detail {

// What the unpacking is given besides the archive: the free space of the scratch
// folder's disk in bytes, the most members, the code page of names not stated to be
// UTF-8.
struct Conditions {
    std::uint64_t free_bytes = 0;
    std::uint64_t max_members = MAX_MEMBERS;
    std::uint16_t code_page = 437;
};

// extract_pdfs and unpack_waybills under given conditions rather than the file
// system's free space and the fixed limits (so tests can simulate a full disk).
std::vector<std::filesystem::path> extract_pdfs(const std::filesystem::path& zip_path,
                                                const std::filesystem::path& temp_dir, const Conditions& conditions);
Unpacked unpack_waybills(const std::filesystem::path& zip_path, const std::filesystem::path& temp_dir,
                         const Conditions& conditions, const UnpackProgress& progress = {});

// `bytes` in the DOS code page `code_page` as UTF-8: 866 is Cyrillic; any other
// value is taken for 437. Never throws except std::bad_alloc.
std::string decode_code_page(std::string_view bytes, std::uint16_t code_page);

// The safe relative path (UTF-8, components joined by "/") under which a member
// named `name` (UTF-8) is unpacked: "\" and "/" separate components; a drive letter
// and leading separators are dropped; colon, "<", ">", "|", '"', "?", "*" and control
// characters become "_"; trailing dots and blanks of each component are removed; a
// component that is empty after that (so also "." and "..") is dropped; a Windows
// device name (CON, NUL, COM1, ...) as a component's stem gets a "_" in front.
// The result may be empty (nothing to unpack). Never throws except std::bad_alloc.
std::string sanitize_member_path(std::string_view name);

}  // namespace detail

}  // namespace archive
