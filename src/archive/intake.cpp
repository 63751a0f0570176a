#include "archive/intake.hpp"

#include <zip.h>


#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <source_location>
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
            if (sys != 0) throw diag::file_error("zip_open_failed", zip_path, std::error_code(sys, std::generic_category()));
            throw diag::RuntimeError(
                diag::Text{"zip_open_failed", {{"path", utf8_of(zip_path)}}, "fs_other", zip_error_text(code)});
        }
        default:
            fail_damaged(zip_path, zip_error_text(code));
    }
}

// One member of the archive as the central directory declares it.
struct Member {
    zip_uint64_t index = 0;
    std::string name;  // decoded, UTF-8
    std::string path;  // sanitised, relative, "/"-separated; empty: nothing to unpack
    bool folder = false;
    std::uint64_t size = 0;
};

// Bytes as whole megabytes (MiB), rounded up, for messages.
std::string megabytes_up(std::uint64_t bytes) { return std::to_string((bytes >> 20) + ((bytes & 0xFFFFF) != 0)); }

// Reads the central directory and refuses the archive, before anything is written,
// when a member cannot be unpacked or the whole would not fit on the disk.
std::vector<Member> list_members(zip_t* za, const fs::path& zip_path, std::uint64_t free_bytes) {
    zip_int64_t count = zip_get_num_entries(za, 0);
    if (count < 0) fail_damaged(zip_path, "no central directory");

    std::vector<Member> members;
    std::uint64_t needed = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        // Strict: UTF-8 only with bit 11 (or a matching Unicode Path extra field,
        // which libzip applies when it reads the directory), CP437 otherwise, even
        // when the bytes happen to be valid UTF-8.
        if (zip_stat_index(za, i, ZIP_FL_ENC_STRICT, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0 ||
            (st.valid & ZIP_STAT_SIZE) == 0)
            fail_damaged(zip_path, zip_error_strerror(zip_get_error(za)));

        Member m;
        m.index = i;
        m.name = st.name;
        m.folder = !m.name.empty() && (m.name.back() == '/' || m.name.back() == '\\');
        m.path = detail::sanitize_member_path(m.name);
        m.size = m.folder ? 0 : st.size;

        if (!m.folder) {
            if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE)
                throw member_error("zip_member_encrypted", m.name);
            if ((st.valid & ZIP_STAT_COMP_METHOD) != 0 &&
                zip_compression_method_supported(st.comp_method, 0) == 0)
                throw member_error("zip_member_method", m.name, {{"method", std::to_string(st.comp_method)}});
            if (m.size > MAX_MEMBER_BYTES)
                throw member_error("zip_member_too_large", m.name,
                                   {{"size", megabytes_up(m.size)}, {"limit", megabytes_up(MAX_MEMBER_BYTES)}});
        }
        // Each term is at most 1 GiB plus the overhead, so the sum cannot wrap.
        needed += m.size + MEMBER_OVERHEAD_BYTES;
        members.push_back(std::move(m));
    }
    // The whole archive must fit in the free space of the scratch folder's disk. How
    // far an archive packs is no reason to refuse it: waybills drawn as thousands of
    // plain rectangles pack 7 to 1 and more.
    if (needed > free_bytes)
        throw diag::RuntimeError(diag::Text{
            "zip_no_space", {{"needed", megabytes_up(needed)}, {"free", std::to_string(free_bytes >> 20)}}});
    return members;
}

[[noreturn]] void fail_write(const std::string& name, std::error_code ec,
                             std::source_location where = std::source_location::current()) {
    if (!ec) ec = std::make_error_code(std::errc::io_error);
    throw diag::file_error("zip_member_write_failed", {{"name", name}}, ec, where);
}

// Copies one member's data into the new file `out`, never more than its declared size
// (libzip keeps inflating past the size the directory declares, so the limit is ours),
// and returns the SHA-256 of the bytes written, as lower-case hex: the file is written
// once and hashed on the way, never read back for it.
std::string unpack_file(zip_t* za, const Member& m, platform::ScratchFile& out, std::vector<char>& buffer) {
    MemberFile file(zip_fopen_index(za, m.index, 0));
    if (!file)
        throw diag::RuntimeError(diag::Text{"zip_member_unreadable", {{"name", m.name}}, "",
                                            zip_error_strerror(zip_get_error(za))});

    platform::Sha256 hash;
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
        hash.update(piece);
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

    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint8_t byte : hash.final()) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

// 64-bit FNV-1a of a text, as 8 hex digits: a short tag that keeps shortened names apart.
std::string short_tag(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
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

// Where members land on disk. A member's sanitised path is kept when every name in it
// fits the file system; an over-long name is shortened, and a path too long as a whole
// goes into a short folder at the top. A file never takes the place of one unpacked
// before it (two members of one name, or names that only a case-blind file system
// confuses): the later one gets "~2", "~3", ... The archive's own names stay what the
// job works with; only the files on disk have these names.
class DiskPlaces {
public:
    explicit DiskPlaces(const fs::path& root) : root_length_(platform::native_length(root)) {}

    // The relative on-disk path (UTF-8, "/"-separated) for a sanitised member path.
    std::string place(const std::string& rel, bool folder) {
        std::vector<std::string> parts;
        for (std::size_t pos = 0; pos <= rel.size();) {
            std::size_t end = std::min(rel.find('/', pos), rel.size());
            std::string part = rel.substr(pos, end - pos);
            if (native_length(part) > platform::MAX_NAME_LENGTH) part = shortened_name(part, NAME_ROOM);
            parts.push_back(std::move(part));
            pos = end + 1;
        }
        std::string out = join(parts);
        if (too_long(out)) {
            // Out of the deep folders: one short folder per original folder, at the top.
            const std::string folders =
                parts.size() > 1 ? rel.substr(0, rel.size() - parts.back().size() - 1) : std::string();
            const std::string top = short_tag(folder ? rel : folders);
            if (folder) return top;
            const std::size_t room = platform::MAX_PATH_LENGTH - root_length_ - top.size() - 2;
            std::string name = parts.back();
            if (native_length(name) > room) name = shortened_name(name, std::min(room, NAME_ROOM));
            out = top + "/" + name;
        }
        if (folder) return out;
        std::string candidate = out;
        for (int n = 2; !taken_.insert(i18n::fold_case(candidate)).second; ++n) candidate = numbered(out, n);
        return candidate;
    }

private:
    // Room for a shortened name: the limit, less what a numbered variant adds.
    static constexpr std::size_t NAME_ROOM = platform::MAX_NAME_LENGTH - 8;

    static std::string join(const std::vector<std::string>& parts) {
        std::string out;
        for (const auto& p : parts) {
            if (!out.empty()) out += '/';
            out += p;
        }
        return out;
    }

    bool too_long(const std::string& rel) const { return root_length_ + 1 + native_length(rel) > platform::MAX_PATH_LENGTH; }

    static std::string numbered(const std::string& rel, int n) {
        const std::size_t slash = rel.rfind('/');
        const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
        std::size_t dot = rel.rfind('.');
        if (dot == std::string::npos || dot <= name_start) dot = rel.size();
        return rel.substr(0, dot) + "~" + std::to_string(n) + rel.substr(dot);
    }

    std::size_t root_length_;
    std::unordered_set<std::string> taken_;
};

// One file written into the scratch folder.
struct Written {
    std::size_t file;         // its platform::ScratchFile, an index into Unpacking::scratch_files
    std::string member_path;  // the member's safe path, as the archive names it
    std::string sha256;       // of its bytes, lower-case hex
};

// What unpacking wrote: the files in archive order, and the folders they lie in as a
// tree (folder 0 is the scratch folder; sub-folders in the order the archive first
// names them), from which the walk order follows without listing any folder.
struct Unpacking {
    struct Folder {
        std::vector<std::size_t> files;     // indices into `files`, in archive order
        std::vector<std::size_t> children;  // indices into `folders`
    };
    std::vector<Written> files;
    std::vector<platform::ScratchFile> scratch_files;
    std::vector<Folder> folders{Folder{}};
    std::unordered_map<std::string, std::size_t> folder_ids;  // case-folded on-disk path -> folder

    // The folder of an on-disk relative path ("/"-separated), its parents made known
    // first, each in the order it is first met.
    std::size_t folder(const std::string& rel) {
        std::size_t id = 0;
        for (std::size_t pos = 0; pos < rel.size();) {
            const std::size_t end = std::min(rel.find('/', pos), rel.size());
            auto [it, added] = folder_ids.try_emplace(i18n::fold_case(std::string_view(rel).substr(0, end)), folders.size());
            if (added) {
                folders[id].children.push_back(folders.size());
                folders.emplace_back();
            }
            id = it->second;
            pos = end + 1;
        }
        return id;
    }
};

// Creates the folders of `rel` ("/"-separated) inside `root`, one by one and each once
// per job: never `root` itself, so that nothing is written once the scratch folder has
// been taken away (a job told to stop).
void make_folders_below(const fs::path& root, const std::string& rel, const std::string& member,
                        std::unordered_set<std::string>& made) {
    for (std::size_t pos = 0; pos < rel.size();) {
        const std::size_t end = std::min(rel.find('/', pos), rel.size());
        std::string prefix = rel.substr(0, end);
        pos = end + 1;
        if (made.contains(prefix)) continue;
        try {
            platform::create_folder(root / path_from_utf8(prefix));  // any path length, a link in the way refused
        } catch (const fs::filesystem_error& e) {
            fail_write(member, e.code());
        }
        made.insert(std::move(prefix));
    }
}

std::string parent_of(const std::string& rel) {
    const std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

// Unpacks the members: each file written once and hashed as it is written.
Unpacking unpack(zip_t* za, const std::vector<Member>& members, const fs::path& root,
                 platform::ScratchFile::Lifetime lifetime, const UnpackProgress& progress) {
    std::vector<char> buffer(COPY_BUFFER_BYTES);
    DiskPlaces places(root);
    std::unordered_set<std::string> made;
    Unpacking u;
    std::size_t done = 0;
    for (const Member& m : members) {
        if (progress) progress(done++, members.size());
        if (m.path.empty()) continue;  // nothing of the name is left to place
        const std::string rel = places.place(m.path, m.folder);
        const std::string folder = m.folder ? rel : parent_of(rel);
        make_folders_below(root, folder, m.path, made);
        const std::size_t folder_id = u.folder(folder);
        if (m.folder) continue;
        // Whatever the member's attributes say (a symbolic link, a device), its data
        // becomes a plain file. The name is a fresh one in our own scratch folder
        // (DiskPlaces never gives one twice), so nothing is looked up first.
        try {
            u.scratch_files.emplace_back(root / path_from_utf8(rel), lifetime);
        } catch (const fs::filesystem_error& e) {
            fail_write(m.path, e.code());
        }
        std::string digest = unpack_file(za, m, u.scratch_files.back(), buffer);
        u.folders[folder_id].files.push_back(u.files.size());
        u.files.push_back(Written{u.scratch_files.size() - 1, m.path, std::move(digest)});
    }
    if (progress) progress(members.size(), members.size());
    return u;
}

// The files in walk order: a folder's own files first, then its sub-folders, depth
// first; a folder's files and sub-folders in the order the archive names them.
std::vector<std::size_t> walk_order(const Unpacking& u) {
    std::vector<std::size_t> order;
    order.reserve(u.files.size());
    std::vector<std::size_t> pending{0};
    while (!pending.empty()) {
        const Unpacking::Folder& f = u.folders[pending.back()];
        pending.pop_back();
        order.insert(order.end(), f.files.begin(), f.files.end());
        pending.insert(pending.end(), f.children.rbegin(), f.children.rend());
    }
    return order;
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

bool is_device_name(std::string_view component) {
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    std::string upper(stem);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
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

Unpacked unpack_archive(const fs::path& zip_path, const fs::path& temp_dir, std::uint64_t free_bytes,
                        platform::ScratchFile::Lifetime lifetime, const UnpackProgress& progress) {
    const fs::path root = fs::absolute(temp_dir);
    Unpacking unpacking;
    {
        Archive archive = open_archive(zip_path);
        const std::vector<Member> members = list_members(archive.get(), zip_path, free_bytes);
        unpacking = unpack(archive.get(), members, root, lifetime, progress);
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
        if (!has_pdf_extension(name)) continue;
        auto [first, inserted] = kept.try_emplace(i18n::normalize_waybill_name(name), sources.size());
        if (!inserted) {
            // The first of a name wins; another file of that name with other bytes is
            // a waybill the user must hear about.
            // Named with its folders, so that the user finds it in the archive.
            if (sources[first->second].waybill.sha256 != w.sha256) result.conflicting_duplicates.push_back(w.member_path);
            continue;
        }
        std::string sort_key = i18n::fold_case(name);
        const platform::ScratchFile& file = result.files[w.file];
        sources.push_back({std::move(sort_key),
                           Waybill{file.path(), std::move(name), std::move(w.member_path), std::move(w.sha256), &file}});
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

Unpacked unpack_waybills(const fs::path& zip_path, const fs::path& temp_dir, std::uint64_t free_bytes,
                         const UnpackProgress& progress) {
    return unpack_archive(zip_path, temp_dir, free_bytes, platform::ScratchFile::Lifetime::object, progress);
}

std::vector<fs::path> extract_pdfs(const fs::path& zip_path, const fs::path& temp_dir, std::uint64_t free_bytes) {
    // Only the paths leave: the files stay until the caller removes the folder.
    return paths_of(unpack_archive(zip_path, temp_dir, free_bytes, platform::ScratchFile::Lifetime::folder, {}));
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

Unpacked unpack_waybills(const fs::path& zip_path, const fs::path& temp_dir, const UnpackProgress& progress) {
    return detail::unpack_waybills(zip_path, temp_dir, free_space(temp_dir), progress);
}

std::vector<fs::path> extract_pdfs(const fs::path& zip_path, const fs::path& temp_dir) {
    return detail::extract_pdfs(zip_path, temp_dir, free_space(temp_dir));
}

}  // namespace archive
