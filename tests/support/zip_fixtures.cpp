#include "support/zip_fixtures.hpp"

#include <zip.h>
#include <zlib.h>

#include <stdexcept>
#include <string_view>

#include "support/temp_dir.hpp"

namespace fixtures {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(zip_t* za, const std::string& what) {
    std::string message = what + ": " + zip_strerror(za);
    zip_discard(za);
    throw std::runtime_error(message);
}

zip_t* create_archive(const fs::path& zip) {
    int code = 0;
    zip_t* za = zip_open(zip.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (za == nullptr) throw std::runtime_error("zip_open failed for " + zip.string());
    return za;
}

void close_archive(zip_t* za) {
    if (zip_close(za) != 0) fail(za, "zip_close");
}

std::string unicode_path_field(const ZipEntry& e) {
    auto crc = e.unicode_path_crc.value_or(static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.name.data()), static_cast<uInt>(e.name.size()))));
    std::string field(1, '\1');
    for (int i = 0; i < 4; ++i) field += static_cast<char>((crc >> (8 * i)) & 0xff);
    return field + *e.unicode_path;
}

std::uint32_t get_le(const std::string& b, size_t at, int bytes) {
    if (at + static_cast<size_t>(bytes) > b.size()) throw std::runtime_error("zip patch: offset out of range");
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
}

void put_le(std::string& b, size_t at, int bytes, std::uint32_t v) {
    if (at + static_cast<size_t>(bytes) > b.size()) throw std::runtime_error("zip patch: offset out of range");
    for (int i = 0; i < bytes; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
}

struct Headers {
    size_t central;  // offset of the member's central directory header
    size_t local;    // offset of its local header
};

// Finds the member's headers through the end-of-central-directory record.
Headers find_headers(const std::string& b, size_t index) {
    auto eocd = b.rfind(std::string_view("PK\5\6", 4));
    if (eocd == std::string::npos) throw std::runtime_error("zip patch: no end of central directory");
    if (index >= get_le(b, eocd + 10, 2)) throw std::runtime_error("zip patch: no such member");
    size_t at = get_le(b, eocd + 16, 4);
    for (size_t i = 0;; ++i) {
        if (get_le(b, at, 4) != 0x02014b50) throw std::runtime_error("zip patch: bad central header");
        if (i == index) return {at, get_le(b, at + 42, 4)};
        at += 46 + get_le(b, at + 28, 2) + get_le(b, at + 30, 2) + get_le(b, at + 32, 2);
    }
}

// An extra-field id no archiver uses; written by libzip, then renamed to 0x7075.
constexpr zip_uint16_t PLACEHOLDER_FIELD_ID = 0x7A7A;

void rename_extra_field(std::string& b, size_t at, size_t length) {
    for (size_t end = at + length; at + 4 <= end; at += 4 + get_le(b, at + 2, 2))
        if (get_le(b, at, 2) == PLACEHOLDER_FIELD_ID) put_le(b, at, 2, 0x7075);
}

}  // namespace

void write_zip(const fs::path& zip, const std::vector<ZipMember>& members) {
    zip_t* za = create_archive(zip);
    for (const auto& m : members) {
        if (!m.name.empty() && m.name.back() == '/') {
            if (zip_dir_add(za, m.name.c_str(), ZIP_FL_ENC_UTF_8) < 0) fail(za, "zip_dir_add " + m.name);
            continue;
        }
        zip_source_t* src = zip_source_buffer(za, m.data.data(), m.data.size(), 0);
        if (src == nullptr) fail(za, "zip_source_buffer");
        if (zip_file_add(za, m.name.c_str(), src, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(src);
            fail(za, "zip_file_add " + m.name);
        }
    }
    close_archive(za);
}

void write_zip_entries(const fs::path& zip, const std::vector<ZipEntry>& entries) {
    zip_t* za = create_archive(zip);
    for (const auto& e : entries) {
        zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        if (src == nullptr) fail(za, "zip_source_buffer");
        zip_int64_t index = zip_file_add(za, e.name.c_str(), src, e.utf8_flag ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_GUESS);
        if (index < 0) {
            zip_source_free(src);
            fail(za, "zip_file_add " + e.name);
        }
        auto i = static_cast<zip_uint64_t>(index);
        if (zip_set_file_compression(za, i, e.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) != 0)
            fail(za, "zip_set_file_compression");
        if (e.unicode_path) {
            std::string field = unicode_path_field(e);
            if (zip_file_extra_field_set(za, i, PLACEHOLDER_FIELD_ID, ZIP_EXTRA_FIELD_NEW,
                                         reinterpret_cast<const zip_uint8_t*>(field.data()),
                                         static_cast<zip_uint16_t>(field.size()), ZIP_FL_CENTRAL | ZIP_FL_LOCAL) != 0)
                fail(za, "zip_file_extra_field_set");
        }
        if (e.symlink && zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX, std::uint32_t{0120777} << 16) != 0)
            fail(za, "zip_file_set_external_attributes");
        if (e.encrypted && zip_file_set_encryption(za, i, ZIP_EM_AES_256, "secret") != 0)
            fail(za, "zip_file_set_encryption");
    }
    close_archive(za);

    // libzip sets bit 11 for every name that reads as UTF-8 and keeps the Unicode
    // Path field to itself, so both are settled in the written bytes.
    std::string b = read_bytes(zip);
    for (size_t i = 0; i < entries.size(); ++i) {
        Headers h = find_headers(b, i);
        if (!entries[i].utf8_flag) {
            put_le(b, h.central + 8, 2, get_le(b, h.central + 8, 2) & ~std::uint32_t{0x800});
            put_le(b, h.local + 6, 2, get_le(b, h.local + 6, 2) & ~std::uint32_t{0x800});
        }
        if (entries[i].unicode_path) {
            rename_extra_field(b, h.central + 46 + get_le(b, h.central + 28, 2), get_le(b, h.central + 30, 2));
            rename_extra_field(b, h.local + 30 + get_le(b, h.local + 26, 2), get_le(b, h.local + 28, 2));
        }
    }
    write_bytes(zip, b);
}

void patch_method(const fs::path& zip, std::size_t index, std::uint16_t method) {
    std::string b = read_bytes(zip);
    Headers h = find_headers(b, index);
    put_le(b, h.central + 10, 2, method);
    put_le(b, h.local + 8, 2, method);
    write_bytes(zip, b);
}

void patch_declared_size(const fs::path& zip, std::size_t index, std::uint32_t size) {
    std::string b = read_bytes(zip);
    put_le(b, find_headers(b, index).central + 24, 4, size);
    write_bytes(zip, b);
}

void corrupt_data(const fs::path& zip, std::size_t index) {
    std::string b = read_bytes(zip);
    size_t local = find_headers(b, index).local;
    size_t data = local + 30 + get_le(b, local + 26, 2) + get_le(b, local + 28, 2);
    if (data >= b.size()) throw std::runtime_error("zip patch: member has no data");
    b[data] = static_cast<char>(~b[data]);
    write_bytes(zip, b);
}

void patch_declared_count(const fs::path& zip, std::uint16_t count) {
    std::string b = read_bytes(zip);
    const auto eocd = b.rfind(std::string_view("PK\5\6", 4));
    if (eocd == std::string::npos) throw std::runtime_error("zip patch: no end of central directory");
    put_le(b, eocd + 8, 2, count);
    put_le(b, eocd + 10, 2, count);
    write_bytes(zip, b);
}

void end_as_zip64(const fs::path& zip, std::uint64_t declared_count) {
    std::string b = read_bytes(zip);
    const auto eocd = b.rfind(std::string_view("PK\5\6", 4));
    if (eocd == std::string::npos) throw std::runtime_error("zip patch: no end of central directory");
    const auto put_le64 = [](std::string& s, size_t at, std::uint64_t v) {
        put_le(s, at, 4, static_cast<std::uint32_t>(v));
        put_le(s, at + 4, 4, static_cast<std::uint32_t>(v >> 32));
    };
    std::string record(56, '\0');
    put_le(record, 0, 4, 0x06064b50);
    put_le64(record, 4, record.size() - 12);
    put_le(record, 12, 2, 45);  // made by and needed: version 4.5, ZIP64
    put_le(record, 14, 2, 45);
    put_le64(record, 24, declared_count);           // on this disk
    put_le64(record, 32, declared_count);           // in all
    put_le64(record, 40, get_le(b, eocd + 12, 4));  // size and offset of the directory
    put_le64(record, 48, get_le(b, eocd + 16, 4));
    std::string locator(20, '\0');
    put_le(locator, 0, 4, 0x07064b50);
    put_le64(locator, 8, eocd);  // where the record goes
    put_le(locator, 16, 4, 1);   // disks
    std::string end = b.substr(eocd);
    put_le(end, 8, 2, 0xFFFF);
    put_le(end, 10, 2, 0xFFFF);
    write_bytes(zip, b.substr(0, eocd) + record + locator + end);
}

}  // namespace fixtures
