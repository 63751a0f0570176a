// A file rewritten whole: the bytes go to a sibling ".tmp" file, which is flushed to
// disk and then renamed over the target in one step, so a reader sees either the old
// or the new file, never half of one.
#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

class StagedFile {
public:
    // Opens (truncating) the temporary file `target` with its extension replaced by
    // ".tmp". Throws std::filesystem::filesystem_error when it cannot be created.
    explicit StagedFile(std::filesystem::path target);
    // Removes the temporary file unless commit() succeeded; never throws.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Appends bytes. Throws std::filesystem::filesystem_error (disk full, I/O error).
    void write(std::string_view bytes);
    // Flushes to disk, closes and renames over the target. Throws on failure; the
    // target then keeps its previous content.
    void commit();

    const std::filesystem::path& temp_path() const { return temp_; }

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Convenience: writes `bytes` as the whole new content of `target` through a StagedFile.
void write_file_atomically(const std::filesystem::path& target, std::string_view bytes);

}  // namespace platform
