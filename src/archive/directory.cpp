// The archive and its central directory: opening it, the members' names and entries,
// the checks made before any member is read, and the safe paths of members.
#include <zip.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <source_location>
#include <system_error>

#include "archive/intake.hpp"
#include "archive/reading.hpp"
#include "diag/errors.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace archive::detail {

namespace {

using platform::path_from_utf8;

std::string utf8_of(const fs::path& p) { return platform::utf8(p); }

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

Archive open_zip(const fs::path& zip_path) {
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

std::uint64_t free_space(const fs::path& folder) {
    std::error_code ec;
    const fs::space_info space = fs::space(folder, ec);
    if (ec) throw diag::file_error("disk_space_unknown", folder, ec);
    return space.available;
}

}  // namespace

diag::RuntimeError member_error(std::string key, std::string_view name,
                                std::vector<std::pair<std::string, std::string>> more, std::source_location where) {
    more.insert(more.begin(), {"name", std::string(name)});
    return diag::RuntimeError(diag::Text{std::move(key), std::move(more)}, where);
}

void fail_write(const std::string& name, std::error_code ec, std::source_location where) {
    if (!ec) ec = std::make_error_code(std::errc::io_error);
    throw diag::file_error("zip_member_write_failed", {{"name", name}}, ec, where);
}

std::string megabytes_up(std::uint64_t bytes) { return std::to_string((bytes >> 20) + ((bytes & 0xFFFFF) != 0)); }

Archive open_archive(const fs::path& zip_path, std::uint64_t max_members) {
    // Before libzip reads the directory, whose memory grows with the members.
    if (const auto declared = declared_member_count(zip_path); declared && *declared > max_members)
        fail_too_many_members(zip_path, *declared, max_members);
    return open_zip(zip_path);
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
    return decode_code_page(bytes, code_page);
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

zip_uint64_t check_members(zip_t* za, const fs::path& zip_path, const Conditions& conditions, const fs::path& parent) {
    const zip_int64_t count = zip_get_num_entries(za, 0);
    if (count < 0) fail_damaged(zip_path, "no central directory");
    if (static_cast<std::uint64_t>(count) > conditions.max_members)
        fail_too_many_members(zip_path, static_cast<std::uint64_t>(count), conditions.max_members);

    MemoryBudget budget(conditions);
    std::uint64_t needed = 0;
    std::uint64_t folders = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        const zip_stat_t st = stat_member(za, i, zip_path);
        if (names_folder(st.name)) {
            ++folders;
            continue;
        }
        // The name is decoded only for a message: libzip keeps what it converts.
        const auto name = [&] { return member_name(za, i, zip_path, conditions.code_page); };
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE)
            throw member_error("zip_member_encrypted", name());
        if ((st.valid & ZIP_STAT_COMP_METHOD) != 0 && zip_compression_method_supported(st.comp_method, 0) == 0)
            throw member_error("zip_member_method", name(), {{"method", std::to_string(st.comp_method)}});
        if (st.size > conditions.max_member_bytes)
            throw member_error("zip_member_too_large", name(),
                               {{"size", megabytes_up(st.size)}, {"limit", megabytes_up(conditions.max_member_bytes)}});
        // Only PDFs are kept; other members are read to check them, and dropped. A
        // PDF the memory budget does not hold goes to a file.
        if (!is_pdf_member(st.name) || budget.hold(st.size)) continue;
        // Each term is at most the member limit plus the overhead, so the sum cannot wrap.
        needed += st.size + MEMBER_OVERHEAD_BYTES;
    }
    // What goes to files must fit in the free space of the scratch folder's disk, with
    // room for the folders it may need. How far an archive packs is no reason to
    // refuse it: waybills drawn as thousands of plain rectangles pack 7 to 1 and more.
    if (needed == 0) return static_cast<zip_uint64_t>(count);
    needed += folders * MEMBER_OVERHEAD_BYTES;
    const std::uint64_t free = conditions.free_bytes ? *conditions.free_bytes : free_space(parent);
    if (needed > free)
        throw diag::RuntimeError(
            diag::Text{"zip_no_space", {{"needed", megabytes_up(needed)}, {"free", std::to_string(free >> 20)}}});
    return static_cast<zip_uint64_t>(count);
}

bool is_pdf_member(std::string_view name) {
    // Sanitising leaves bytes from 0x80 up alone, so the raw name and the decoded one
    // end in the same extension.
    const std::string path = sanitize_member_path(name);
    return !path.empty() && !names_folder(name) && has_pdf_extension(path.substr(path.rfind('/') + 1));
}

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

namespace {

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

}  // namespace archive::detail
