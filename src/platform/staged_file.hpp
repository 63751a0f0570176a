// A file rewritten whole: the bytes go to a unique hidden temporary file beside the
// target, which is flushed to disk and then renamed over the target in one step, so a
// reader sees either the old or the new file, never half of one.
//
// Several processes may rewrite the same file at once: each writes its own temporary
// file (".<name>.XXXXXX.tmp"), claimed while it lives, and none ever truncates or
// removes another's. Temporary files left by processes that died are removed when the
// next one is staged. A temporary file is removed when the process is told to stop
// (platform/termination.hpp).
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/claims.hpp"
#include "platform/termination.hpp"

namespace platform {

class StagedFile {
public:
    // Creates the temporary file beside `target`. Throws std::filesystem::filesystem_error
    // when it cannot be created.
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

    // Flushes (to disk when `durable`), closes and hands the complete temporary file to
    // `place`, which moves it to its final name (for example never over an existing
    // file) and returns that name. `place` runs while a termination waits, so what it
    // moves and registers is never seen half done. Throws what `place` throws, or
    // std::filesystem::filesystem_error; the temporary file is then removed.
    std::filesystem::path commit_with(
        const std::function<std::filesystem::path(const std::filesystem::path& temp)>& place, bool durable);

    const std::filesystem::path& temp_path() const { return temp_; }

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    FileClaim claim_;
    RemoveOnTermination remove_on_termination_;
    int fd_ = -1;
    bool committed_ = false;
};

// Convenience: writes `bytes` as the whole new content of `target` through a StagedFile.
void write_file_atomically(const std::filesystem::path& target, std::string_view bytes);

}  // namespace platform
