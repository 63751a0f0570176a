// Archive intake: reads the PDFs of a waybill archive into memory (or, past a memory
// budget, into files of a scratch folder) and lists them in the job's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace archive {

// The largest uncompressed size one member may declare: 1 GiB. No waybill comes near it.
inline constexpr std::uint64_t MAX_MEMBER_BYTES = std::uint64_t{1} << 30;

// The most members (files and folders) an archive may have: a marketplace's day is a
// few thousand waybills. An archive of millions of empty members would otherwise cost
// memory for each (libzip's directory alone takes some 300 bytes per member) and
// minutes of unpacking.
inline constexpr std::uint64_t MAX_MEMBERS = 100000;

// The most bytes of waybills held in memory at once, and the largest waybill held: a
// day of a few thousand waybills of some 80 KB each stays in memory, so that no file
// is made for it (on Windows the antivirus scans each new file). Past them, waybills
// go to files, and what a hostile archive can make the job hold stays bounded: the
// merge's own output document grows with what it copies, so the budget leaves room
// for it below a gigabyte when an archive of 100 MB unpacks to several hundred.
inline constexpr std::uint64_t MEMORY_BUDGET_BYTES = std::uint64_t{256} << 20;
inline constexpr std::uint64_t MEMBER_MEMORY_BYTES = std::uint64_t{64} << 20;

// One waybill of an archive: its bytes, held in memory or (past the memory budget) in a
// file of the scratch folder, and its own name as the archive gives it (the last
// component of the member's safe path, UTF-8): the history key, the order and every
// message use `name`.
struct Waybill {
    // The file in the scratch folder when the waybill went to one (`file` is set); else
    // its safe path inside the archive as a relative path, which only names it.
    std::filesystem::path path;
    std::string name;
    // The member's safe path inside the archive ("/"-separated, UTF-8): what a list of
    // the archive's waybills shows.
    std::string member_path{};
    // SHA-256 of the waybill's bytes, 64 lower-case hex digits, taken as they were read.
    std::string sha256{};
    // Exactly one of these is set, both owned by the Unpacked the waybill is in: the
    // file, still open for reading, or the bytes in memory.
    const platform::ScratchFile* file = nullptr;
    const std::string* bytes = nullptr;
};

// What an archive holds: its waybills in the job's order, and the paths inside the
// archive of the files that were left out as repeats of a waybill of the same name
// although their content differs from the one kept (in walk order; the user must be
// told, since one of them is not printed).
// It owns the bytes of every waybill, in memory or in files
// (deleted with it, on Windows also when the process is killed). Move-only; moving it
// keeps the waybills' `file` and `bytes` pointers valid.
struct Unpacked {
    std::vector<Waybill> waybills;
    std::vector<std::string> conflicting_duplicates;
    std::vector<platform::ScratchFile> files{};
    std::vector<std::string> held{};
};

// The scratch folder for the PDFs that go to files, made when the first one does, so
// that a job whose waybills all fit in memory creates nothing in the temporary folder.
struct ScratchPlace {
    // The existing folder it is made in: the free space of its disk is what files may take.
    std::filesystem::path parent;
    // The most the scratch folder's path takes, in the file system's units: names too
    // long for the file system below it are shortened by it before the folder exists.
    std::size_t length = 0;
    // Makes the folder (empty, owned by the caller, who removes it) and returns its
    // absolute path. Called at most once; may throw (the job's own failure passes on).
    std::function<std::filesystem::path()> make;
};

// The waybills of the ZIP archive `zip_path`: the regular files with the extension
// ".pdf" in any case, at any depth, one per normalised name (the first in walk order
// wins), sorted stably by the case-folded file name in code-point order. An archive
// without PDFs gives an empty list. Walk order: the files of the archive's top level
// first, then folder by folder, depth first; within a folder, files and sub-folders in
// the order the archive names them (so of two files whose names differ only in letter
// case, the first in the archive wins). Every member is read once: the waybills first,
// in the job's order, then the other members in archive order. A PDF is hashed as it is
// read; a repeat is dropped once hashed, and members that are not PDFs are read to
// check them (CRC, size) and dropped.
//
// A PDF of at most MEMBER_MEMORY_BYTES is held in memory while the PDFs before it in
// the archive (repeats too) take at most `memory_bytes`; any other waybill goes to a
// file in the scratch folder (`scratch`), made when the first one is read.
//
// Member names are UTF-8 when the member says so (bit 11, or a Unicode Path extra
// field whose CRC matches); else they are decoded from `oem_code_page`, the OEM code
// page of the user's system (platform::oem_code_page()): 866 (Cyrillic, what Windows'
// own compressed folders write on Russian and Kazakh systems), else 437. "\" separates
// folders. Every path is made safe (detail::sanitize_member_path): a file never
// leaves the scratch folder, and members stored as symbolic links are written as plain
// files. A name too long for the file system (over 255 bytes, or a whole path over
// the system's limit) goes to a file under a shortened, still unique name. No file is
// written over another: of two members with one path, or a file and a folder of one
// name ("d" and "d/x.pdf"), the later one lands under a numbered name ("d~2/x.pdf").
// Names, order and repeats are decided on the archive's own names.
//
// Before anything is read the archive is refused when it has more than `MAX_MEMBERS`
// members (folders included; decided from its end record before the directory is
// read), when a member is encrypted or uses a compression method that cannot be read,
// when one member declares more than `MAX_MEMBER_BYTES`, or when the PDFs that go to
// files would not fit in the free space of `scratch.parent`'s disk; the message gives
// the figures (in MB, and in members). How far the archive packs does not matter. Data
// is read in pieces, and a member whose data runs past its declared size is stopped.
//
// Throws diag::RuntimeError with a catalogue message (diag::Text naming the archive or
// the member at fault) for every failure: not a ZIP or a damaged archive, too many
// members, an encrypted member, a CRC mismatch, an unsupported method, a member too
// large, too little disk space, a file that cannot be written; and what scratch.make
// throws. Nothing read is kept after a failure; the caller removes the scratch folder.
Unpacked unpack_waybills(const std::filesystem::path& zip_path, const ScratchPlace& scratch,
                         std::uint16_t oem_code_page, std::uint64_t memory_bytes = MEMORY_BUDGET_BYTES);

namespace detail {

// What the reading is given besides the archive: the free space of the scratch
// folder's disk in bytes (asked of the system only when some PDF goes to a file), the most members, the code page of
// names not stated to be UTF-8, the largest member, and the memory budget.
struct Conditions {
    std::optional<std::uint64_t> free_bytes{};  // none: asked of the disk when a file is needed
    std::uint64_t max_members = MAX_MEMBERS;
    std::uint16_t code_page = 437;
    std::uint64_t max_member_bytes = MAX_MEMBER_BYTES;
    std::uint64_t memory_bytes = MEMORY_BUDGET_BYTES;
    std::uint64_t member_memory_bytes = MEMBER_MEMORY_BYTES;
};

// unpack_waybills under given conditions rather than the file system's free space and
// the fixed limits (so tests can simulate a full disk, a small budget, a large member).
Unpacked unpack_waybills(const std::filesystem::path& zip_path, const ScratchPlace& scratch,
                         const Conditions& conditions);

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

// The reading of an archive while its waybills are merged. The archive is opened and
// checked, and its waybills are listed in the job's order, from its directory alone,
// before any member is read (so it is refused as unpack_waybills refuses it); then its
// members are read on a thread of their own: the waybills first, in the job's order,
// each told ready as soon as it is read whole, then the other members, in archive
// order (repeats hashed to find the ones whose content differs, other files checked).
// So a merge can take each waybill while the next ones are still being read.
//
// waybills() lists them from the start with their names, their member paths and, for
// those held in memory, their bytes' place; a waybill's bytes, its hash and (for one
// that goes to a file) its file and path are there once wait_for has said it is ready.
// What unpack_waybills says of names, order, repeats, memory and files holds here.
class WaybillReader {
public:
    // Opens and checks the archive and lists its waybills; reads nothing yet. Throws
    // diag::RuntimeError as unpack_waybills does before it reads.
    WaybillReader(const std::filesystem::path& zip_path, const ScratchPlace& scratch, std::uint16_t oem_code_page,
                  std::uint64_t memory_bytes = MEMORY_BUDGET_BYTES);
    WaybillReader(const std::filesystem::path& zip_path, const ScratchPlace& scratch,
                  const detail::Conditions& conditions);
    // Stops the reading after the member being read, and waits for it.
    ~WaybillReader();
    WaybillReader(const WaybillReader&) = delete;
    WaybillReader& operator=(const WaybillReader&) = delete;

    // The waybills in the job's order. The list itself never changes.
    const std::vector<Waybill>& waybills() const;
    // How many members the archive has, folders included.
    std::size_t members() const;

    // Starts reading on a thread of its own; when the system gives no thread, reads the
    // whole archive before it returns (its failure is then finish()'s). Call at most once.
    void start();
    // Returns once waybill `index` is read whole. Throws ReadingStopped when the reading
    // ended before it (failed, or stopped): finish() or settle() then says why.
    void wait_for(std::size_t index);
    // The archive read whole: waits for the reading (reads on the calling thread when
    // start() was not called) and returns what unpack_waybills returns, or throws the
    // reading's failure. Call once.
    Unpacked finish();
    // After the work on the waybills failed: stops the reading unless every waybill was
    // read (the rest of the archive is then still checked, so that a damaged archive
    // is told as such rather than as damaged waybills), waits for it, and throws its
    // failure if it had one. Returns otherwise, for the caller to throw its own.
    void settle();

    // The reading ended before the waybill waited for; not a failure of its own.
    struct ReadingStopped {};

private:
    struct Plan;
    std::unique_ptr<Plan> plan_;
};

}  // namespace archive
