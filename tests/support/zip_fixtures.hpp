// ZIP archives made by the tests: ordinary ones written with libzip, and hostile
// ones made by giving libzip unusual member settings or by patching the bytes it
// wrote (flags, methods and sizes that libzip itself would never write).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

struct ZipMember {
    std::string name;  // UTF-8; a name ending in "/" is a folder member
    std::string data;
};

// Writes `members` in order as a new archive at `zip` (Deflate), names flagged as
// UTF-8 (bit 11) where they are not plain ASCII. Throws std::runtime_error.
void write_zip(const std::filesystem::path& zip, const std::vector<ZipMember>& members);

// A member with every setting a hostile or unusual archive may use.
struct ZipEntry {
    std::string name;  // the name bytes as stored in the archive
    std::string data;
    // Bit 11 ("the name is UTF-8"); needs `name` to be valid UTF-8. Without it the
    // bytes are stored as they are and no bit is set.
    bool utf8_flag = true;
    // A Unicode Path extra field (0x7075): this UTF-8 name with the CRC-32 of the
    // stored name bytes, or, with `unicode_path_crc`, that CRC instead.
    std::optional<std::string> unicode_path{};
    std::optional<std::uint32_t> unicode_path_crc{};
    bool symlink = false;    // Unix mode S_IFLNK in the external attributes
    bool encrypted = false;  // AES-256 with the password "secret"
    bool deflate = true;     // else stored
};

void write_zip_entries(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries);

// Byte patches on an archive file, for what libzip refuses to write. `index` counts
// members in central-directory order. Each throws std::runtime_error when the
// archive's structure cannot be found.

// Sets the compression method in the member's local and central headers.
void patch_method(const std::filesystem::path& zip, std::size_t index, std::uint16_t method);

// Sets the uncompressed size that the central directory declares for the member.
void patch_declared_size(const std::filesystem::path& zip, std::size_t index, std::uint32_t size);

// Flips the bits of the member's first data byte (so a stored member fails its CRC).
void corrupt_data(const std::filesystem::path& zip, std::size_t index);

// Sets the member count that the end-of-central-directory record declares (both its
// fields), leaving the directory as it is.
void patch_declared_count(const std::filesystem::path& zip, std::uint16_t count);

// Ends the archive as a ZIP64 archive does: a ZIP64 end record declaring
// `declared_count` members and its locator before the end record, whose counts then
// read 0xFFFF. The directory stays as it is.
void end_as_zip64(const std::filesystem::path& zip, std::uint64_t declared_count);

}  // namespace fixtures
