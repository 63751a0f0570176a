// Files that a job writes into its scratch folder once and then reads back itself.
//
// On Windows a scratch file stays open from its creation until the object goes, and is
// read back through that handle: every file opened there costs a round of system work
// (and a look from the antivirus), and an archive brings a thousand of them. A file
// that lives only as long as its object is created to be deleted when that handle
// closes, which the system does even for a process that was killed.
//
// Here the file is closed once it is written and opened again to be read: a process
// may keep only so many files open, fewer than an archive may hold, and opening a file
// costs little.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>

namespace platform {

// A file opened for reading at any offset, by path or through a scratch file's own
// handle. Move-only; closes what it opened.
class FileReader {
public:
    // Opens `path` (absolute, any length) for reading; other programs may still read,
    // write or delete it. Throws std::filesystem::filesystem_error, also for a folder.
    explicit FileReader(const std::filesystem::path& path);
    ~FileReader();
    FileReader(FileReader&& other) noexcept;
    FileReader& operator=(FileReader&& other) = delete;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // The file's size in bytes when it was opened.
    std::uint64_t size() const { return size_; }

    // Reads into `out` from `offset`: fills it, or stops short only at the end of the
    // file. Returns the bytes read; on a failure sets `ec` and returns 0. Never throws.
    // Readers of one file take turns: on Windows this moves the handle's file pointer.
    std::size_t read_at(std::uint64_t offset, std::span<char> out, std::error_code& ec) const noexcept;

private:
    friend class ScratchFile;
    FileReader(std::intptr_t handle, std::uint64_t size) noexcept : handle_(handle), size_(size), owned_(false) {}

    std::intptr_t handle_;  // a file descriptor here, a HANDLE on Windows
    std::uint64_t size_ = 0;
    bool owned_ = true;
};

class ScratchFile {
public:
    // Whether the file goes with the object (deleted when it is destroyed) or stays
    // until its folder is removed.
    enum class Lifetime { object, folder };

    // Creates the new file `path` (absolute, any length) for writing; it must not exist
    // yet. Throws std::filesystem::filesystem_error (std::errc::file_exists when it does).
    ScratchFile(std::filesystem::path path, Lifetime lifetime);
    // Closes the file, and with Lifetime::object deletes it. Never throws.
    ~ScratchFile();
    ScratchFile(ScratchFile&& other) noexcept;
    ScratchFile& operator=(ScratchFile&& other) = delete;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Appends bytes. Throws std::filesystem::filesystem_error (a full disk, say).
    void write(std::string_view bytes);
    // Ends the writing: every byte has reached the system. Throws
    // std::filesystem::filesystem_error when the last of them could not be written.
    void finish();

    // A reader of the finished file, valid while this object lives. Throws
    // std::filesystem::filesystem_error when the file cannot be opened again.
    FileReader reader() const;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    Lifetime lifetime_;
    std::intptr_t handle_;  // as in FileReader; -1 here once the file is closed
    std::uint64_t size_ = 0;
};

}  // namespace platform
