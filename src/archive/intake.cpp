// Reading the members of a waybill archive for a job: each PDF into memory or, past the
// memory budget, into a file of the scratch folder, hashed as it is read; then the
// job's list of waybills in walk order, repeats dropped, sorted by name.
#include "archive/intake.hpp"

#include <zip.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "archive/places.hpp"
#include "archive/reading.hpp"
#include "diag/errors.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace archive {

namespace fs = std::filesystem;

namespace {

using detail::member_error;

constexpr std::size_t COPY_BUFFER_BYTES = 64 * 1024;

struct MemberCloser {
    void operator()(zip_file_t* zf) const { zip_fclose(zf); }
};
using MemberFile = std::unique_ptr<zip_file_t, MemberCloser>;

// One member while it is read.
struct Member {
    zip_uint64_t index = 0;
    std::string name;    // decoded, UTF-8
    std::string path{};  // sanitised, relative, "/"-separated
    std::uint64_t size = 0;
};

// Where a member's bytes go as they are read: appended to a text held in memory, into
// a scratch file, or nowhere (a member that is only checked).
struct Sink {
    std::string* memory = nullptr;
    platform::ScratchFile* file = nullptr;
    void put(std::string_view piece, const std::string& path) const {
        if (memory != nullptr) memory->append(piece);
        if (file == nullptr) return;
        try {
            file->write(piece);
        } catch (const fs::filesystem_error& e) {
            detail::fail_write(path, e.code());
        }
    }
};

std::string hex_of(const std::array<std::uint8_t, 32>& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint8_t byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

// Reads one member's data into `sink`, never more than its declared size (libzip keeps
// inflating past the size the directory declares, so the limit is ours), checking its
// CRC on the way. With `hashed`, returns the SHA-256 of its bytes as lower-case hex (the
// bytes are hashed as they are read, never read again for it); else "".
std::string read_member(zip_t* za, const Member& m, const Sink& sink, std::vector<char>& buffer, bool hashed) {
    MemberFile file(zip_fopen_index(za, m.index, 0));
    if (!file)
        throw diag::RuntimeError(
            diag::Text{"zip_member_unreadable", {{"name", m.name}}, "", zip_error_strerror(zip_get_error(za))});
    std::optional<platform::Sha256> hash;
    if (hashed) hash.emplace();
    std::uint64_t read = 0;
    for (;;) {
        // Ask for one byte more than is left, so that a member running past its
        // declared size shows itself without being kept.
        const std::uint64_t want = std::min<std::uint64_t>(buffer.size(), m.size - read + 1);
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), want);
        if (n < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            if (zip_error_code_zip(error) == ZIP_ER_CRC) throw member_error("zip_member_crc", m.name);
            throw diag::RuntimeError(
                diag::Text{"zip_member_unreadable", {{"name", m.name}}, "", zip_error_strerror(error)});
        }
        if (n == 0) break;
        read += static_cast<std::uint64_t>(n);
        if (read > m.size) throw member_error("zip_member_longer", m.name);
        const std::string_view piece(buffer.data(), static_cast<std::size_t>(n));
        if (hash) hash->update(piece);
        sink.put(piece, m.path);
    }
    if (read < m.size) throw member_error("zip_member_shorter", m.name);
    if (sink.file != nullptr) {
        try {
            sink.file->finish();
        } catch (const fs::filesystem_error& e) {
            detail::fail_write(m.path, e.code());
        }
    }
    return hash ? hex_of(hash->final()) : std::string();
}

// A PDF read: held in memory (an index into Reading::held) or written to a file (an
// index into Reading::files).
struct Kept {
    std::optional<std::size_t> held;
    std::optional<std::size_t> file;
    std::string member_path;  // the member's safe path, as the archive names it
    std::string disk_path;    // its place in the scratch folder, relative (a file only there when `file`)
    std::string sha256;       // of its bytes, lower-case hex
};

// What the reading kept: the PDFs in archive order, their bytes or files, and the
// archive's folders as a tree whose files are indices into `kept`, from which the walk
// order follows.
struct Reading {
    std::vector<Kept> kept;
    std::vector<std::string> held;
    std::vector<platform::ScratchFile> files;
    std::vector<detail::DiskPlaces::Folder> tree;
};

// Reads one file member `m` in the tree's folder `folder`, named `own_name` there: a PDF
// is kept (in memory when the budget holds it, else in a file), any other member is
// read to check it and dropped.
void read_file_member(zip_t* za, Member& m, std::size_t folder, std::string_view own_name, Reading& r,
                      detail::DiskPlaces& places, detail::MemoryBudget& budget, std::vector<char>& buffer) {
    std::string rel = places.file(folder, own_name);
    if (!detail::has_pdf_extension(own_name)) {
        read_member(za, m, Sink{}, buffer, false);
        return;
    }
    Kept k{std::nullopt, std::nullopt, std::move(m.path), std::move(rel), {}};
    Sink sink;
    if (budget.hold(m.size)) {
        k.held = r.held.size();
        sink.memory = &r.held.emplace_back();
        sink.memory->reserve(static_cast<std::size_t>(m.size));
    } else {
        // Whatever the member's attributes say (a symbolic link, a device), its data
        // becomes a plain file. The name is a fresh one in our own scratch folder
        // (DiskPlaces never gives one twice), so nothing is looked up first.
        const fs::path place = places.make_place(k.disk_path, k.member_path);
        k.file = r.files.size();
        try {
            sink.file = &r.files.emplace_back(place, platform::ScratchFile::Lifetime::object);
        } catch (const fs::filesystem_error& e) {
            detail::fail_write(k.member_path, e.code());
        }
    }
    m.path = k.member_path;  // for messages
    k.sha256 = read_member(za, m, sink, buffer, true);
    places[folder].files.push_back(r.kept.size());
    r.kept.push_back(std::move(k));
}

// Reads the `count` members in archive order.
Reading read_members(zip_t* za, zip_uint64_t count, const fs::path& zip_path, const ScratchPlace& scratch,
                     const detail::Conditions& conditions, const UnpackProgress& progress) {
    std::vector<char> buffer(COPY_BUFFER_BYTES);
    detail::DiskPlaces places(scratch);
    detail::MemoryBudget budget(conditions);
    Reading r;
    for (zip_uint64_t i = 0; i < count; ++i) {
        if (progress) progress(static_cast<std::size_t>(i), static_cast<std::size_t>(count));
        Member m{i, detail::member_name(za, i, zip_path, conditions.code_page)};
        m.path = detail::sanitize_member_path(m.name);
        if (m.path.empty()) continue;  // nothing of the name is left to place
        if (detail::names_folder(m.name)) {
            places.folder(m.path);
            continue;
        }
        const std::string_view path(m.path);
        const std::size_t slash = path.rfind('/');
        const std::string_view own_name = slash == std::string_view::npos ? path : path.substr(slash + 1);
        const std::size_t folder = places.folder(path.substr(0, slash == std::string_view::npos ? 0 : slash));
        m.size = detail::stat_member(za, i, zip_path).size;
        read_file_member(za, m, folder, std::string(own_name), r, places, budget, buffer);
    }
    if (progress) progress(static_cast<std::size_t>(count), static_cast<std::size_t>(count));
    r.tree = places.take_tree();
    return r;
}

// The kept PDFs in walk order: a folder's own files first, then its sub-folders, depth
// first; a folder's files and sub-folders in the order the archive names them.
std::vector<std::size_t> walk_order(const Reading& r) {
    std::vector<std::size_t> order;
    order.reserve(r.kept.size());
    std::vector<std::size_t> pending{0};
    while (!pending.empty()) {
        const detail::DiskPlaces::Folder& f = r.tree[pending.back()];
        pending.pop_back();
        order.insert(order.end(), f.files.begin(), f.files.end());
        pending.insert(pending.end(), f.children.rbegin(), f.children.rend());
    }
    return order;
}

// The job's list from what was read: walk order, the first of a name kept, sorted
// stably by the case-folded name.
Unpacked list_waybills(Reading& r) {
    Unpacked result;
    result.held = std::move(r.held);    // the texts stay where they are in memory
    result.files = std::move(r.files);  // and so do the files
    struct Source {
        std::string sort_key;
        Waybill waybill;
    };
    std::vector<Source> sources;
    std::unordered_map<std::string, std::size_t> kept;  // normalised name -> index into sources
    for (const std::size_t i : walk_order(r)) {
        Kept& k = r.kept[i];
        std::string name(i18n::last_path_component(k.member_path));
        auto [first, inserted] = kept.try_emplace(i18n::normalize_waybill_name(name), sources.size());
        if (!inserted) {
            // The first of a name wins; another file of that name with other bytes is
            // a waybill the user must hear about, named with its folders, so that the
            // user finds it in the archive.
            if (sources[first->second].waybill.sha256 != k.sha256)
                result.conflicting_duplicates.push_back(k.member_path);
            continue;
        }
        std::string sort_key = i18n::fold_case(name);
        Waybill w{{}, std::move(name), std::move(k.member_path), std::move(k.sha256)};
        if (k.file) {
            w.file = &result.files[*k.file];
            w.path = w.file->path();
        } else {
            w.bytes = &result.held[*k.held];
            w.path = platform::path_from_utf8(w.member_path);
        }
        sources.push_back({std::move(sort_key), std::move(w)});
    }
    // std::string compares bytes as unsigned char, and UTF-8 byte order is code-point order.
    std::stable_sort(sources.begin(), sources.end(),
                     [](const Source& a, const Source& b) { return a.sort_key < b.sort_key; });
    result.waybills.reserve(sources.size());
    for (Source& s : sources) result.waybills.push_back(std::move(s.waybill));
    return result;
}

}  // namespace

namespace detail {

Unpacked unpack_waybills(const fs::path& zip_path, const ScratchPlace& scratch, const Conditions& conditions,
                         const UnpackProgress& progress) {
    Reading reading;
    {
        Archive archive = open_archive(zip_path, conditions.max_members);
        const zip_uint64_t count = check_members(archive.get(), zip_path, conditions, scratch.parent);
        reading = read_members(archive.get(), count, zip_path, scratch, conditions, progress);
    }  // the archive is closed before the list is made
    return list_waybills(reading);
}

}  // namespace detail

Unpacked unpack_waybills(const fs::path& zip_path, const ScratchPlace& scratch, std::uint16_t oem_code_page,
                         std::uint64_t memory_bytes, const UnpackProgress& progress) {
    return detail::unpack_waybills(zip_path, scratch, {.code_page = oem_code_page, .memory_bytes = memory_bytes},
                                   progress);
}

}  // namespace archive
