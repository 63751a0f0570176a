// A file rewritten whole: the bytes go to a unique hidden temporary file beside the
// target, which is flushed to disk and then renamed over the target in one step, so a
// reader sees either the old or the new file, never half of one. The target's folder is
// synced after the rename, so that the new file, once committed, survives a power cut.
//
// A target that is a symbolic link is written through: the file it leads to is
// replaced and the link stays. A read-only target is never replaced.
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

// The renames that make a file durable, and the folder syncs after them: the calls whose
// order decides what a power cut leaves behind. The members make the system's own calls;
// a test passes a double derived from this that records their order or fails one.
class Renamer {
public:
    virtual ~Renamer() = default;
    // replace_file: renames over an existing file.
    virtual void replace(const std::filesystem::path& from, const std::filesystem::path& to);
    // rename_no_replace: fails with std::errc::file_exists when `to` exists.
    virtual void rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);
    // sync_folder.
    virtual void sync_folder(const std::filesystem::path& folder);
};

// The Renamer with the system's calls. It holds no state.
Renamer& system_renamer();

class StagedFile {
public:
    // Creates the temporary file beside `target`, or beside the file it leads to when
    // `target` is a symbolic link. Throws std::filesystem::filesystem_error when it cannot
    // be created, and with std::errc::permission_denied when the file to be replaced is
    // read-only (platform::read_only_file). `renamer` must outlive the object.
    explicit StagedFile(std::filesystem::path target, Renamer& renamer = system_renamer());
    // Removes the temporary file unless commit() succeeded; never throws.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Appends bytes. Throws std::filesystem::filesystem_error (disk full, I/O error).
    void write(std::string_view bytes);
    // Flushes to disk, closes, renames over the target and syncs the target's folder.
    // Throws std::filesystem::filesystem_error: before the rename, the target then keeps
    // its previous content; a failed sync of the folder throws with the target replaced.
    void commit();

    // Flushes (to disk when `durable`), closes and hands the complete temporary file to
    // `place`, which moves it to its final name (for example never over an existing
    // file, with the Renamer given to the constructor) and returns that name. `place`
    // runs while a termination waits, so what it moves and registers is never seen half
    // done. When `durable` and the file was moved, the folder it went to is synced.
    // Throws what `place` throws, or std::filesystem::filesystem_error; the temporary
    // file is then removed (unless `place` moved it).
    std::filesystem::path commit_with(
        const std::function<std::filesystem::path(const std::filesystem::path& temp)>& place, bool durable);

    const std::filesystem::path& temp_path() const { return temp_; }
    // Where the file goes: the target, or the file a link as target leads to.
    const std::filesystem::path& target() const { return target_; }

private:
    Renamer& renamer_;
    std::filesystem::path target_;
    std::filesystem::path temp_;
    FileClaim claim_;
    RemoveOnTermination remove_on_termination_;
    int fd_ = -1;
    bool committed_ = false;
};

// Convenience: writes `bytes` as the whole new content of `target` through a StagedFile.
void write_file_atomically(const std::filesystem::path& target, std::string_view bytes,
                           Renamer& renamer = system_renamer());

}  // namespace platform
