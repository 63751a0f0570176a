#include "archive/intake.hpp"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <source_location>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "diag/errors.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace archive {

namespace fs = std::filesystem;

namespace {

using platform::path_from_utf8;
std::string utf8_of(const fs::path& p) { return platform::utf8(p); }

// A failure about one member of the archive, named as the archive names it.
diag::RuntimeError member_error(std::string key, std::string_view name,
                                std::vector<std::pair<std::string, std::string>> more = {},
                                std::source_location where = std::source_location::current()) {
    more.insert(more.begin(), {"name", std::string(name)});
    return diag::RuntimeError(diag::Text{std::move(key), std::move(more)}, where);
}

// Per-member allowance for the free-space check on top of the declared size: one
// file-system block and a directory entry. It keeps an archive of millions of empty
// members from filling the disk with files.
constexpr std::uint64_t MEMBER_OVERHEAD_BYTES = 4096;

constexpr size_t COPY_BUFFER_BYTES = 64 * 1024;

struct ArchiveCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct MemberCloser {
    void operator()(zip_file_t* zf) const { zip_fclose(zf); }
};
using MemberFile = std::unique_ptr<zip_file_t, MemberCloser>;

std::string zip_error_text(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

[[noreturn]] void fail_damaged(const fs::path& zip_path, const std::string& detail,
                               std::source_location where = std::source_location::current()) {
    throw diag::RuntimeError(diag::Text{"zip_damaged", {{"path", utf8_of(zip_path)}}, "", detail}, where);
}

Archive open_archive(const fs::path& zip_path) {
    // libzip takes an empty file for an empty archive; it is no ZIP file at all.
    std::error_code ec;
    if (fs::is_regular_file(zip_path, ec) && fs::file_size(zip_path, ec) == 0 && !ec)
        fail_damaged(zip_path, "empty file");

    int code = 0;
    zip_t* za = zip_open(utf8_of(zip_path).c_str(), ZIP_RDONLY, &code);
    if (za != nullptr) return Archive(za);
    switch (code) {
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
        case ZIP_ER_NOENT:
        case ZIP_ER_MEMORY: {
            zip_error_t error;
            zip_error_init_with_code(&error, code);
            const int sys = zip_error_code_system(&error);
            zip_error_fini(&error);
            if (sys != 0)
                throw diag::file_error("zip_open_failed", zip_path, std::error_code(sys, std::generic_category()));
            throw diag::RuntimeError(
                diag::Text{"zip_open_failed", {{"path", utf8_of(zip_path)}}, "fs_other", zip_error_text(code)});
        }
        default:
            fail_damaged(zip_path, zip_error_text(code));
    }
}

// Bytes as whole megabytes (MiB), rounded up, for messages.
std::string megabytes_up(std::uint64_t bytes) { return std::to_string((bytes >> 20) + ((bytes & 0xFFFFF) != 0)); }

// Little-endian number of `bytes` bytes at `at`; the caller has checked the bounds.
std::uint64_t little_endian(std::string_view b, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

// The number of members that the archive's end record declares, read from the last
// bytes of the file. libzip reads the whole central directory when it opens an
// archive, at a few hundred bytes of memory per member; this count lets an archive of
// millions of members be refused before that. No value when no end record ends
// exactly at the end of the file (libzip then judges the archive, and its own count
// is checked again).
std::optional<std::uint64_t> declared_member_count(const fs::path& zip_path) {
    constexpr std::size_t END_RECORD = 22, MAX_COMMENT = 0xFFFF, ZIP64_LOCATOR = 20, ZIP64_END_RECORD = 56;
    try {
        const platform::FileReader file(zip_path);
        const std::uint64_t size = file.size();
        if (size < END_RECORD) return std::nullopt;
        const std::uint64_t tail_size = std::min<std::uint64_t>(size, ZIP64_LOCATOR + END_RECORD + MAX_COMMENT);
        std::string tail(static_cast<std::size_t>(tail_size), '\0');
        std::error_code ec;
        if (file.read_at(size - tail.size(), tail, ec) != tail.size()) return std::nullopt;
        for (std::size_t at = tail.size() - END_RECORD + 1; at-- > 0;) {
            if (tail.compare(at, 4, "PK\5\6") != 0 || little_endian(tail, at + 20, 2) != tail.size() - at - END_RECORD)
                continue;
            // A ZIP64 archive puts a locator of its own end record just before this one.
            if (at < ZIP64_LOCATOR || tail.compare(at - ZIP64_LOCATOR, 4, "PK\6\7") != 0)
                return little_endian(tail, at + 10, 2);
            const std::uint64_t offset = little_endian(tail, at - ZIP64_LOCATOR + 8, 8);
            if (size < ZIP64_END_RECORD || offset > size - ZIP64_END_RECORD) return std::nullopt;
            std::string record(ZIP64_END_RECORD, '\0');
            if (file.read_at(offset, record, ec) != record.size() || record.compare(0, 4, "PK\6\6") != 0)
                return std::nullopt;
            return little_endian(record, 32, 8);
        }
    } catch (const fs::filesystem_error&) {
        // libzip opens the file next and says what is wrong with it.
    }
    return std::nullopt;
}

[[noreturn]] void fail_too_many_members(const fs::path& zip_path, std::uint64_t count, std::uint64_t limit) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(zip_path, ec);
    throw diag::RuntimeError(diag::Text{"zip_too_many_members",
                                        {{"path", utf8_of(zip_path)},
                                         {"count", std::to_string(count)},
                                         {"limit", std::to_string(limit)},
                                         {"size", megabytes_up(ec ? 0 : size)}}});
}

// A member's name as UTF-8: as the archive stores it when the archive says it is UTF-8
// (bit 11, or a Unicode Path extra field whose CRC matches, which libzip puts in the
// name's place when it reads the directory), else decoded from `code_page`.
std::string member_name(zip_t* za, zip_uint64_t index, const fs::path& zip_path, std::uint16_t code_page) {
    const char* raw = zip_get_name(za, index, ZIP_FL_ENC_RAW);
    if (raw == nullptr) fail_damaged(zip_path, zip_error_strerror(zip_get_error(za)));
    const std::string_view bytes(raw);
    if (std::all_of(bytes.begin(), bytes.end(), [](unsigned char c) { return c < 0x80; })) return std::string(bytes);
    // libzip converts every name it does not know to be UTF-8 from CP437, so a name it
    // gives back unchanged is UTF-8 by the archive's own statement.
    const char* stated = zip_get_name(za, index, ZIP_FL_ENC_STRICT);
    if (stated != nullptr && bytes == stated) return std::string(bytes);
    return detail::decode_code_page(bytes, code_page);
}

bool names_folder(std::string_view name) { return !name.empty() && (name.back() == '/' || name.back() == '\\'); }

// The member's entry in the central directory, with its raw name. Throws zip_damaged.
zip_stat_t stat_member(zip_t* za, zip_uint64_t index, const fs::path& zip_path) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, index, ZIP_FL_ENC_RAW, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0 ||
        (st.valid & ZIP_STAT_SIZE) == 0)
        fail_damaged(zip_path, zip_error_strerror(zip_get_error(za)));
    return st;
}

// Reads the central directory and refuses the archive, before anything is written,
// when it has more members than a job unpacks, when a member cannot be unpacked, or
// when the whole would not fit on the disk. Returns the number of members. Nothing is
// kept per member: the unpacking reads the directory again.
zip_uint64_t check_members(zip_t* za, const fs::path& zip_path, const detail::Conditions& conditions) {
    const zip_int64_t count = zip_get_num_entries(za, 0);
    if (count < 0) fail_damaged(zip_path, "no central directory");
    if (static_cast<std::uint64_t>(count) > conditions.max_members)
        fail_too_many_members(zip_path, static_cast<std::uint64_t>(count), conditions.max_members);

    std::uint64_t needed = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        const zip_stat_t st = stat_member(za, i, zip_path);
        if (names_folder(st.name)) {
            needed += MEMBER_OVERHEAD_BYTES;
            continue;
        }
        // The name is decoded only for a message: libzip keeps what it converts.
        const auto name = [&] { return member_name(za, i, zip_path, conditions.code_page); };
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE)
            throw member_error("zip_member_encrypted", name());
        if ((st.valid & ZIP_STAT_COMP_METHOD) != 0 && zip_compression_method_supported(st.comp_method, 0) == 0)
            throw member_error("zip_member_method", name(), {{"method", std::to_string(st.comp_method)}});
        if (st.size > MAX_MEMBER_BYTES)
            throw member_error("zip_member_too_large", name(),
                               {{"size", megabytes_up(st.size)}, {"limit", megabytes_up(MAX_MEMBER_BYTES)}});
        // Each term is at most 1 GiB plus the overhead, so the sum cannot wrap.
        needed += st.size + MEMBER_OVERHEAD_BYTES;
    }
    // The whole archive must fit in the free space of the scratch folder's disk. How
    // far an archive packs is no reason to refuse it: waybills drawn as thousands of
    // plain rectangles pack 7 to 1 and more.
    if (needed > conditions.free_bytes)
        throw diag::RuntimeError(diag::Text{
            "zip_no_space", {{"needed", megabytes_up(needed)}, {"free", std::to_string(conditions.free_bytes >> 20)}}});
    return static_cast<zip_uint64_t>(count);
}

[[noreturn]] void fail_write(const std::string& name, std::error_code ec,
                             std::source_location where = std::source_location::current()) {
    if (!ec) ec = std::make_error_code(std::errc::io_error);
    throw diag::file_error("zip_member_write_failed", {{"name", name}}, ec, where);
}

// One member while it is unpacked; nothing of it is kept unless it is a PDF.
struct Member {
    zip_uint64_t index = 0;
    std::string name;    // decoded, UTF-8
    std::string path{};  // sanitised, relative, "/"-separated
    std::uint64_t size = 0;
};

// Copies one member's data into the new file `out`, never more than its declared size
// (libzip keeps inflating past the size the directory declares, so the limit is ours).
// With `hashed`, returns the SHA-256 of the bytes written, as lower-case hex: the file
// is written once and hashed on the way, never read back for it; else "".
std::string unpack_file(zip_t* za, const Member& m, platform::ScratchFile& out, std::vector<char>& buffer,
                        bool hashed) {
    MemberFile file(zip_fopen_index(za, m.index, 0));
    if (!file)
        throw diag::RuntimeError(
            diag::Text{"zip_member_unreadable", {{"name", m.name}}, "", zip_error_strerror(zip_get_error(za))});

    std::optional<platform::Sha256> hash;
    if (hashed) hash.emplace();
    std::uint64_t written = 0;
    for (;;) {
        // Ask for one byte more than is left, so that a member running past its
        // declared size shows itself without being written.
        std::uint64_t want = std::min<std::uint64_t>(buffer.size(), m.size - written + 1);
        zip_int64_t n = zip_fread(file.get(), buffer.data(), want);
        if (n < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            if (zip_error_code_zip(error) == ZIP_ER_CRC) throw member_error("zip_member_crc", m.name);
            throw diag::RuntimeError(
                diag::Text{"zip_member_unreadable", {{"name", m.name}}, "", zip_error_strerror(error)});
        }
        if (n == 0) break;
        written += static_cast<std::uint64_t>(n);
        if (written > m.size) throw member_error("zip_member_longer", m.name);
        const std::string_view piece(buffer.data(), static_cast<std::size_t>(n));
        if (hash) hash->update(piece);
        try {
            out.write(piece);
        } catch (const fs::filesystem_error& e) {
            fail_write(m.path, e.code());
        }
    }
    if (written < m.size) throw member_error("zip_member_shorter", m.name);
    try {
        out.finish();
    } catch (const fs::filesystem_error& e) {
        fail_write(m.path, e.code());
    }
    if (!hash) return {};

    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint8_t byte : hash->final()) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

// 64-bit FNV-1a of a text.
std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

// "~" and 8 hex digits of the text's FNV-1a: a short tag that keeps shortened names apart.
std::string short_tag(std::string_view text) {
    const std::uint64_t h = fnv1a(text);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "~";
    for (int shift = 60; shift >= 32; shift -= 4) out += hex[(h >> shift) & 0xF];
    return out;
}

// Length of a UTF-8 text in the file system's units.
std::size_t native_length(std::string_view utf8) { return platform::native_length(path_from_utf8(utf8)); }

// `name` cut to at most `max_bytes` UTF-8 bytes: its beginning, a tag made from the
// whole name (so two long names that begin alike stay apart) and its extension when
// that is short. Code points are never split.
std::string shortened_name(std::string_view name, std::size_t max_bytes) {
    std::string_view ext;
    if (auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0 && name.size() - dot <= 16)
        ext = name.substr(dot);
    const std::string tag = short_tag(name);
    const std::size_t room = max_bytes > tag.size() + ext.size() ? max_bytes - tag.size() - ext.size() : 0;
    std::size_t keep = std::min(room, name.size() - ext.size());
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    std::string out(name.substr(0, keep));
    out += tag;
    out += ext;
    return out;
}

// ".pdf" in any case, taken from the last dot; a name whose only dot leads it has
// no extension.
bool has_pdf_extension(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    std::string_view ext = name.substr(dot);
    if (ext.size() != 4) return false;
    std::string lower(ext);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return lower == ".pdf";
}

// Where members land on disk, and the archive's folders as a tree for the walk order.
//
// A member's sanitised path is kept on disk when every name in it fits the file
// system; an over-long name is shortened, and a folder or a file whose whole path
// would be too long goes into a short folder at the top. Nothing takes the place of
// what was unpacked before it, as a case-blind file system sees names: a file never
// that of a file or a folder, a folder never that of a file (two members of one name;
// a member "d" and then "d/x.pdf"; a link member, written as a plain file, and a
// member below it). The later one gets "~2", "~3", ..., so every member is unpacked
// and no clash is taken for a fault of the disk. The archive's own names stay what
// the job works with; only the files on disk have these names.
//
// The tree's folders are the archive's, letter case aside (folder 0 is the top), each
// in the order the archive first names it. What is kept grows with folders, and with
// files by one number each.
class DiskPlaces {
public:
    struct Folder {
        std::string disk;                     // on-disk relative path ("/"-separated; "" at the top)
        std::string overflow{};               // the top folder its too long file paths go to, once made
        std::vector<std::size_t> files{};     // the caller's, in archive order
        std::vector<std::size_t> children{};  // indices into the tree
    };

    explicit DiskPlaces(fs::path root) : root_(std::move(root)), root_length_(platform::native_length(root_)) {}

    // The tree's folder for a sanitised folder path of the archive ("" for the top),
    // made on disk with the folders above it, each once. `member` names the member
    // for a failure to create one.
    std::size_t folder(std::string_view rel, const std::string& member) {
        std::size_t id = 0;
        for (std::size_t pos = 0; pos < rel.size();) {
            const std::size_t end = std::min(rel.find('/', pos), rel.size());
            const std::string_view prefix = rel.substr(0, end);
            const std::string_view name = rel.substr(pos, end - pos);
            pos = end + 1;
            const auto [it, added] = ids_.try_emplace(i18n::fold_case(prefix), tree_.size());
            if (added) {
                std::string disk = join(tree_[id].disk, fitted(name));
                if (too_long(disk)) disk = short_tag(prefix);  // out of the deep folders
                disk = make_folder(disk, member);
                tree_[id].children.push_back(tree_.size());
                tree_.push_back(Folder{std::move(disk)});
            }
            id = it->second;
        }
        return id;
    }

    // The relative on-disk path (UTF-8, "/"-separated) for a file named `name` (a
    // sanitised component) in the tree's folder `id`.
    std::string file(std::size_t id, std::string_view name, const std::string& member) {
        std::string out = join(tree_[id].disk, fitted(name));
        if (too_long(out)) {
            // Out of the deep folders: one short folder at the top per folder of the archive.
            Folder& f = tree_[id];
            if (f.overflow.empty()) f.overflow = make_folder(short_tag(f.disk), member);
            const std::size_t used = root_length_ + f.overflow.size() + 2;
            const std::size_t room = platform::MAX_PATH_LENGTH > used ? platform::MAX_PATH_LENGTH - used : 1;
            out = join(f.overflow,
                       native_length(name) > room ? shortened_name(name, std::min(room, NAME_ROOM)) : fitted(name));
        }
        std::string candidate = out;
        for (int n = 2; file_at(candidate) || folder_at(candidate); ++n) candidate = numbered(out, n);
        files_.insert(fnv1a(i18n::fold_case(candidate)));
        return candidate;
    }

    Folder& operator[](std::size_t id) { return tree_[id]; }
    std::vector<Folder> take_tree() { return std::move(tree_); }

private:
    // Room for a shortened name: the limit, less what a numbered variant adds.
    static constexpr std::size_t NAME_ROOM = platform::MAX_NAME_LENGTH - 8;

    static std::string fitted(std::string_view name) {
        return native_length(name) > platform::MAX_NAME_LENGTH ? shortened_name(name, NAME_ROOM) : std::string(name);
    }

    static std::string join(const std::string& folder, std::string_view name) {
        return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
    }

    bool too_long(const std::string& rel) const {
        return root_length_ + 1 + native_length(rel) > platform::MAX_PATH_LENGTH;
    }

    // A file was unpacked at `rel`, letter case aside (its number may also belong to
    // another path: that one then gets a numbered name it did not need, which is harmless).
    bool file_at(const std::string& rel) const { return files_.contains(fnv1a(i18n::fold_case(rel))); }
    bool folder_at(const std::string& rel) const { return folders_.contains(i18n::fold_case(rel)); }

    // Makes the folder `wanted`, or a numbered one where a file lies, unless it was made
    // already (two folders of the archive may share one on disk: their files never
    // clash); returns its on-disk path as first made.
    std::string make_folder(const std::string& wanted, const std::string& member) {
        std::string disk = wanted;
        for (int n = 2; file_at(disk); ++n) disk = wanted + "~" + std::to_string(n);
        const auto [it, added] = folders_.try_emplace(i18n::fold_case(disk), disk);
        if (added) {
            // One folder at a time, never the scratch folder itself, so that nothing is
            // written once that has been taken away (a job told to stop).
            try {
                platform::create_folder(root_ / path_from_utf8(disk));  // any length; a link in the way refused
            } catch (const fs::filesystem_error& e) {
                fail_write(member, e.code());
            }
        }
        return it->second;
    }

    static std::string numbered(const std::string& rel, int n) {
        const std::size_t slash = rel.rfind('/');
        const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
        std::size_t dot = rel.rfind('.');
        if (dot == std::string::npos || dot <= name_start) dot = rel.size();
        return rel.substr(0, dot) + "~" + std::to_string(n) + rel.substr(dot);
    }

    fs::path root_;
    std::size_t root_length_;
    std::vector<Folder> tree_{Folder{}};
    std::unordered_map<std::string, std::size_t> ids_;      // case-folded archive folder path -> tree
    std::unordered_map<std::string, std::string> folders_;  // case-folded on-disk folder -> as made
    std::unordered_set<std::uint64_t> files_;               // FNV-1a of case-folded on-disk file paths
};

// A PDF written into the scratch folder.
struct Written {
    std::size_t file;         // its platform::ScratchFile, an index into Unpacking::scratch_files
    std::string member_path;  // the member's safe path, as the archive names it
    std::string sha256;       // of its bytes, lower-case hex
};

// What unpacking wrote that the job reads: the PDFs in archive order, and the
// archive's folders as a tree whose files are indices into `files`, from which the
// walk order follows without listing any folder.
struct Unpacking {
    std::vector<Written> files;
    std::vector<platform::ScratchFile> scratch_files;
    std::vector<DiskPlaces::Folder> tree;
};

// Unpacks the `count` members: each file written once, a PDF hashed as it is written.
Unpacking unpack(zip_t* za, zip_uint64_t count, const fs::path& zip_path, const fs::path& root, std::uint16_t code_page,
                 platform::ScratchFile::Lifetime lifetime, const UnpackProgress& progress) {
    std::vector<char> buffer(COPY_BUFFER_BYTES);
    DiskPlaces places(root);
    Unpacking u;
    for (zip_uint64_t i = 0; i < count; ++i) {
        if (progress) progress(static_cast<std::size_t>(i), static_cast<std::size_t>(count));
        Member m{i, member_name(za, i, zip_path, code_page)};
        m.path = detail::sanitize_member_path(m.name);
        if (m.path.empty()) continue;  // nothing of the name is left to place
        if (names_folder(m.name)) {
            places.folder(m.path, m.path);
            continue;
        }
        const std::string_view path(m.path);
        const std::size_t slash = path.rfind('/');
        const std::string_view own_name = slash == std::string_view::npos ? path : path.substr(slash + 1);
        const std::size_t folder = places.folder(path.substr(0, slash == std::string_view::npos ? 0 : slash), m.path);
        const std::string rel = places.file(folder, own_name, m.path);
        m.size = stat_member(za, i, zip_path).size;
        // Whatever the member's attributes say (a symbolic link, a device), its data
        // becomes a plain file. The name is a fresh one in our own scratch folder
        // (DiskPlaces never gives one twice), so nothing is looked up first. Only a PDF
        // stays with the result; any other file is closed once written and left for
        // the scratch folder's removal, so that what is kept does not grow with them.
        const bool pdf = has_pdf_extension(own_name);
        std::optional<platform::ScratchFile> other;
        platform::ScratchFile* out = nullptr;
        try {
            out = pdf ? &u.scratch_files.emplace_back(root / path_from_utf8(rel), lifetime)
                      : &other.emplace(root / path_from_utf8(rel), platform::ScratchFile::Lifetime::folder);
        } catch (const fs::filesystem_error& e) {
            fail_write(m.path, e.code());
        }
        std::string digest = unpack_file(za, m, *out, buffer, pdf);
        if (!pdf) continue;
        places[folder].files.push_back(u.files.size());
        u.files.push_back(Written{u.scratch_files.size() - 1, std::move(m.path), std::move(digest)});
    }
    if (progress) progress(static_cast<std::size_t>(count), static_cast<std::size_t>(count));
    u.tree = places.take_tree();
    return u;
}

// The files in walk order: a folder's own files first, then its sub-folders, depth
// first; a folder's files and sub-folders in the order the archive names them.
std::vector<std::size_t> walk_order(const Unpacking& u) {
    std::vector<std::size_t> order;
    order.reserve(u.files.size());
    std::vector<std::size_t> pending{0};
    while (!pending.empty()) {
        const DiskPlaces::Folder& f = u.tree[pending.back()];
        pending.pop_back();
        order.insert(order.end(), f.files.begin(), f.files.end());
        pending.insert(pending.end(), f.children.rbegin(), f.children.rend());
    }
    return order;
}

bool is_device_name(std::string_view component) {
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    std::string upper(stem);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
           upper[3] <= '9';
}

}  // namespace

namespace detail {

std::string sanitize_member_path(std::string_view name) {
    // A drive letter only counts at the very start ("C:\x" or "C:x").
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        name.remove_prefix(2);

    std::string out;
    size_t pos = 0;
    while (pos <= name.size()) {
        size_t end = name.find_first_of("/\\", pos);
        if (end == std::string_view::npos) end = name.size();
        std::string part(name.substr(pos, end - pos));
        pos = end + 1;

        for (char& c : part) {
            auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || std::string_view(":<>|\"?*").find(c) != std::string_view::npos) c = '_';
        }
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        // Empty components (leading separators, doubled ones), "." and ".." all end
        // here: none of them may move the path.
        if (part.empty()) continue;
        // Windows opens a device instead of a file for these names, in any folder.
        if (is_device_name(part)) part = std::string("_").append(part);
        if (!out.empty()) out += '/';
        out += part;
    }
    return out;
}

}  // namespace detail

namespace {

// The upper halves of the DOS code pages, as Unicode, eight bytes a row from 0x80; the
// lower halves are ASCII.
constexpr char16_t CP437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
constexpr char16_t CP866_HIGH[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C,
    0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429,
    0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436,
    0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407,
    0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

}  // namespace

namespace detail {

std::string decode_code_page(std::string_view bytes, std::uint16_t code_page) {
    const char16_t* high = code_page == 866 ? CP866_HIGH : CP437_HIGH;
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        // Every letter of the upper halves lies between U+0080 and U+FFFF: two or three bytes.
        const char16_t u = high[c - 0x80];
        if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
    return out;
}

}  // namespace detail

namespace {

Unpacked unpack_archive(const fs::path& zip_path, const fs::path& temp_dir, const detail::Conditions& conditions,
                        platform::ScratchFile::Lifetime lifetime, const UnpackProgress& progress) {
    const fs::path root = fs::absolute(temp_dir);
    // Before libzip reads the directory, whose memory grows with the members.
    if (const auto declared = declared_member_count(zip_path); declared && *declared > conditions.max_members)
        fail_too_many_members(zip_path, *declared, conditions.max_members);
    Unpacking unpacking;
    {
        Archive archive = open_archive(zip_path);
        const zip_uint64_t count = check_members(archive.get(), zip_path, conditions);
        unpacking = unpack(archive.get(), count, zip_path, root, conditions.code_page, lifetime, progress);
    }  // the archive is closed before the list is made
    Unpacked result;
    result.files = std::move(unpacking.scratch_files);  // their places in memory stay as they are

    struct Source {
        std::string sort_key;
        Waybill waybill;
    };
    std::vector<Source> sources;
    std::unordered_map<std::string, std::size_t> kept;  // normalised name -> index into sources
    for (const std::size_t i : walk_order(unpacking)) {
        Written& w = unpacking.files[i];
        std::string name(i18n::last_path_component(w.member_path));
        auto [first, inserted] = kept.try_emplace(i18n::normalize_waybill_name(name), sources.size());
        if (!inserted) {
            // The first of a name wins; another file of that name with other bytes is
            // a waybill the user must hear about.
            // Named with its folders, so that the user finds it in the archive.
            if (sources[first->second].waybill.sha256 != w.sha256)
                result.conflicting_duplicates.push_back(w.member_path);
            continue;
        }
        std::string sort_key = i18n::fold_case(name);
        const platform::ScratchFile& file = result.files[w.file];
        sources.push_back({std::move(sort_key), Waybill{file.path(), std::move(name), std::move(w.member_path),
                                                        std::move(w.sha256), &file}});
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

Unpacked unpack_waybills(const fs::path& zip_path, const fs::path& temp_dir, const Conditions& conditions,
                         const UnpackProgress& progress) {
    return unpack_archive(zip_path, temp_dir, conditions, platform::ScratchFile::Lifetime::object, progress);
}

std::vector<fs::path> extract_pdfs(const fs::path& zip_path, const fs::path& temp_dir, const Conditions& conditions) {
    // Only the paths leave: the files stay until the caller removes the folder.
    return paths_of(unpack_archive(zip_path, temp_dir, conditions, platform::ScratchFile::Lifetime::folder, {}));
}

}  // namespace detail

namespace {

std::uint64_t free_space(const fs::path& temp_dir) {
    std::error_code ec;
    fs::space_info space = fs::space(temp_dir, ec);
    if (ec) throw diag::file_error("disk_space_unknown", temp_dir, ec);
    return space.available;
}

}  // namespace

std::vector<fs::path> paths_of(const Unpacked& unpacked) {
    std::vector<fs::path> paths;
    paths.reserve(unpacked.waybills.size());
    for (const Waybill& w : unpacked.waybills) paths.push_back(w.path);
    return paths;
}

Unpacked unpack_waybills(const fs::path& zip_path, const fs::path& temp_dir, std::uint16_t oem_code_page,
                         const UnpackProgress& progress) {
    return detail::unpack_waybills(zip_path, temp_dir, {.free_bytes = free_space(temp_dir), .code_page = oem_code_page},
                                   progress);
}

std::vector<fs::path> extract_pdfs(const fs::path& zip_path, const fs::path& temp_dir) {
    return detail::extract_pdfs(zip_path, temp_dir, {.free_bytes = free_space(temp_dir)});
}

}  // namespace archive
