#include "archive/intake.hpp"

#include <zip.h>


#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "diag/errors.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"

namespace archive {

namespace fs = std::filesystem;

namespace {

using platform::path_from_utf8;
std::string utf8_of(const fs::path& p) { return platform::utf8(p); }

std::string in_quotes(std::string_view name) {
    std::string out = "«";
    out += name;
    out += "»";
    return out;
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

[[noreturn]] void fail_damaged(const fs::path& zip_path, const std::string& detail) {
    throw diag::RuntimeError("Архив повреждён или это не ZIP-файл: " + utf8_of(zip_path) + " (" +
                             detail + ")");
}

Archive open_archive(const fs::path& zip_path) {
    // libzip takes an empty file for an empty archive; it is no ZIP file at all.
    std::error_code ec;
    if (fs::is_regular_file(zip_path, ec) && fs::file_size(zip_path, ec) == 0 && !ec)
        fail_damaged(zip_path, "пустой файл");

    int code = 0;
    zip_t* za = zip_open(utf8_of(zip_path).c_str(), ZIP_RDONLY, &code);
    if (za != nullptr) return Archive(za);
    switch (code) {
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
        case ZIP_ER_NOENT:
        case ZIP_ER_MEMORY:
            throw diag::RuntimeError("Не удалось открыть архив: " + utf8_of(zip_path) + " (" +
                                     zip_error_text(code) + ")");
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

// Reads the central directory and refuses the archive, before anything is written,
// when a member cannot be unpacked or the whole would not fit on the disk.
std::vector<Member> list_members(zip_t* za, const fs::path& zip_path, std::uint64_t free_bytes) {
    zip_int64_t count = zip_get_num_entries(za, 0);
    if (count < 0) fail_damaged(zip_path, "нет каталога");

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
                throw diag::RuntimeError("Файл в архиве зашифрован, распаковать его без пароля нельзя: " +
                                         in_quotes(m.name));
            if ((st.valid & ZIP_STAT_COMP_METHOD) != 0 &&
                zip_compression_method_supported(st.comp_method, 0) == 0)
                throw diag::RuntimeError("Файл в архиве сжат неподдерживаемым методом (" +
                                         std::to_string(st.comp_method) + "): " + in_quotes(m.name));
            if (m.size > MAX_MEMBER_BYTES)
                throw diag::RuntimeError("Файл в архиве слишком велик (" + std::to_string(m.size) +
                                         " байт, допустимо не больше 1 ГиБ): " + in_quotes(m.name));
        }
        // Each term is at most 1 GiB plus the overhead, so the sum cannot wrap before
        // it passes any real free space.
        needed += m.size + MEMBER_OVERHEAD_BYTES;
        if (needed > free_bytes)
            throw diag::RuntimeError(
                "Для распаковки архива не хватает места на диске: свободно " + std::to_string(free_bytes) +
                " байт, а файлы архива занимают больше");
        members.push_back(std::move(m));
    }
    return members;
}

[[noreturn]] void fail_write(const std::string& rel, const std::error_code& error) {
    std::string reason = error ? error.message() : std::string("ошибка записи");
    throw diag::RuntimeError("Не удалось записать файл " + in_quotes(rel) + ": " + reason);
}

[[noreturn]] void fail_write(const std::string& rel, int error_number) {
    fail_write(rel, std::error_code(error_number, std::generic_category()));
}

// Copies one member's data into `target`, never more than its declared size: libzip
// keeps inflating past the size the directory declares, so the limit is ours.
void unpack_file(zip_t* za, const Member& m, const fs::path& target, std::vector<char>& buffer) {
    std::error_code ec;
    // The scratch folder is ours and we never create links; a link in the way would
    // lead the write elsewhere, so it is refused rather than followed.
    if (fs::is_symlink(fs::symlink_status(target, ec))) fail_write(m.path, EEXIST);

    MemberFile file(zip_fopen_index(za, m.index, 0));
    if (!file)
        throw diag::RuntimeError("Не удалось прочитать файл " + in_quotes(m.name) + " из архива: " +
                                 zip_error_strerror(zip_get_error(za)));

    errno = 0;
    // Nested member folders easily take the path past MAX_PATH on Windows.
    std::ofstream out(platform::extended_length_path(target), std::ios::binary | std::ios::trunc);
    if (!out) fail_write(m.path, errno);

    std::uint64_t written = 0;
    for (;;) {
        // Ask for one byte more than is left, so that a member running past its
        // declared size shows itself without being written.
        std::uint64_t want = std::min<std::uint64_t>(buffer.size(), m.size - written + 1);
        zip_int64_t n = zip_fread(file.get(), buffer.data(), want);
        if (n < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            if (zip_error_code_zip(error) == ZIP_ER_CRC)
                throw diag::RuntimeError("Архив повреждён: не сходится контрольная сумма файла " +
                                         in_quotes(m.name));
            throw diag::RuntimeError("Архив повреждён: не удалось прочитать файл " + in_quotes(m.name) +
                                     " (" + zip_error_strerror(error) + ")");
        }
        if (n == 0) break;
        written += static_cast<std::uint64_t>(n);
        if (written > m.size)
            throw diag::RuntimeError("Архив повреждён: файл " + in_quotes(m.name) +
                                     " длиннее размера, указанного в архиве");
        errno = 0;
        out.write(buffer.data(), static_cast<std::streamsize>(n));
        if (!out) fail_write(m.path, errno);
    }
    if (written < m.size)
        throw diag::RuntimeError("Архив повреждён: файл " + in_quotes(m.name) +
                                 " короче размера, указанного в архиве");
    errno = 0;
    out.close();
    if (!out) fail_write(m.path, errno);
}

void unpack(zip_t* za, const std::vector<Member>& members, const fs::path& root) {
    std::vector<char> buffer(COPY_BUFFER_BYTES);
    for (const Member& m : members) {
        if (m.path.empty()) continue;  // nothing of the name is left to place
        fs::path target = root / path_from_utf8(m.path);
        try {
            platform::create_folders(m.folder ? target : target.parent_path());
        } catch (const fs::filesystem_error& e) {
            fail_write(m.path, e.code());
        }
        // Whatever the member's attributes say (a symbolic link, a device), its data
        // becomes a plain file.
        if (!m.folder) unpack_file(za, m, target, buffer);
    }
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

std::vector<platform::FolderEntry> walk(const fs::path& root) {
    std::vector<platform::FolderEntry> entries;
    std::vector<fs::path> pending{root};  // folders still to list; the next is at the back
    while (!pending.empty()) {
        fs::path folder = std::move(pending.back());
        pending.pop_back();
        std::vector<fs::path> subfolders;
        for (platform::FolderEntry& e : platform::list_folder(folder)) {
            if (e.type == fs::file_type::directory) subfolders.push_back(e.path);
            entries.push_back(std::move(e));
        }
        // Reversed, so that the first sub-folder listed is the next one visited.
        pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
    }
    return entries;
}

std::vector<fs::path> extract_pdfs(const fs::path& zip_path, const fs::path& temp_dir,
                                   std::uint64_t free_bytes) {
    const fs::path root = fs::absolute(temp_dir);
    {
        Archive archive = open_archive(zip_path);
        std::vector<Member> members = list_members(archive.get(), zip_path, free_bytes);
        unpack(archive.get(), members, root);
    }  // the archive is closed before the walk

    std::vector<platform::FolderEntry> entries;
    try {
        entries = walk(root);
    } catch (const fs::filesystem_error& e) {
        throw diag::RuntimeError("Не удалось просмотреть распакованные файлы: " + utf8_of(e.path1()) +
                                 " (" + e.code().message() + ")");
    }

    struct Source {
        std::string sort_key;
        fs::path path;
    };
    std::vector<Source> sources;
    std::unordered_set<std::string> seen;
    for (const platform::FolderEntry& e : entries) {
        if (e.type != fs::file_type::regular) continue;
        std::string name = utf8_of(e.path.filename());
        if (!has_pdf_extension(name)) continue;
        if (!seen.insert(i18n::normalize_waybill_name(name)).second) continue;
        sources.push_back({i18n::fold_case(name), e.path});
    }
    // std::string compares bytes as unsigned char, and UTF-8 byte order is code-point order.
    std::stable_sort(sources.begin(), sources.end(),
                     [](const Source& a, const Source& b) { return a.sort_key < b.sort_key; });

    std::vector<fs::path> result;
    result.reserve(sources.size());
    for (Source& s : sources) result.push_back(std::move(s.path));
    return result;
}

}  // namespace detail

std::vector<fs::path> extract_pdfs(const fs::path& zip_path, const fs::path& temp_dir) {
    std::error_code ec;
    fs::space_info space = fs::space(temp_dir, ec);
    if (ec)
        throw diag::RuntimeError("Не удалось узнать свободное место на диске для папки " + utf8_of(temp_dir) +
                                 " (" + ec.message() + ")");
    return detail::extract_pdfs(zip_path, temp_dir, space.available);
}

}  // namespace archive
