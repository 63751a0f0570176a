// Files that say "a live process uses this", and the clean-up of what dead processes
// left behind.
//
// Several program instances may run at once (one per archive the user selected), and
// any of them may be killed. A file or folder a job works on is claimed while the job
// lives: the claim is an open handle that the system drops when the process ends in
// any way (kill -9 included), so a left-over whose claim is gone belongs to a dead
// process and can be removed, and a claimed one is never touched. flock here, an open
// handle that forbids deletion on Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

namespace fs = std::filesystem;

// An exclusive lock on a lock file, held while the object lives. The system releases it
// when the process ends in any way. The lock file is created when missing and never
// removed (removing it would let two processes hold two different files).
// How often a held lock is asked for again while it is waited for.
inline constexpr std::chrono::milliseconds LOCK_POLL{50};

class FileLock {
public:
    // Takes the lock, waiting at most `wait` for another holder to let it go; `on_wait`,
    // when given, is called once, before the wait, when the lock is found held. Throws
    // std::filesystem::filesystem_error when the file cannot be opened or locked, with
    // std::errc::timed_out when it is still held after `wait`.
    FileLock(const fs::path& path, std::chrono::milliseconds wait, const std::function<void()>& on_wait = {});
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    std::intptr_t handle_;
};

// A claim on an existing file by this process, held while the object lives (or until
// release()). Movable; an empty claim holds nothing.
class FileClaim {
public:
    FileClaim() = default;
    // Claims `path`. Throws std::filesystem::filesystem_error when it cannot be opened,
    // or with std::errc::device_or_resource_busy when a sweeper is removing it.
    explicit FileClaim(const fs::path& path);
    ~FileClaim() { release(); }
    FileClaim(FileClaim&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    FileClaim& operator=(FileClaim&& other) noexcept;
    FileClaim(const FileClaim&) = delete;
    FileClaim& operator=(const FileClaim&) = delete;

    // Takes over an open handle that already holds a claim (platform code only).
    static FileClaim adopt(std::intptr_t handle) noexcept {
        FileClaim claim;
        claim.handle_ = handle;
        return claim;
    }

    // Drops the claim (the file stays). Never throws.
    void release() noexcept;
    bool held() const noexcept { return handle_ != -1; }

private:
    std::intptr_t handle_ = -1;
};

// How old an unclaimed left-over must be before it is removed: a job claims its files
// within microseconds of making them, so a file this old without a claim is a dead
// process's.
inline constexpr std::chrono::seconds LEFT_OVER_AGE{60};

// Removes the file `path` when no process claims it and it was last changed at least
// `min_age` ago; returns true when it was removed. Never throws.
bool remove_if_unclaimed(const fs::path& path, std::chrono::seconds min_age = LEFT_OVER_AGE);

// A new, empty file with a unique hidden name beside `target` (".<target name>.XXXXXX
// <suffix>"), already claimed by this process; a place to write a file that is later
// moved onto `target`. Throws std::filesystem::filesystem_error.
struct ClaimedFile {
    fs::path path;
    FileClaim claim;
};
ClaimedFile reserve_claimed_sibling(const fs::path& target, const std::string& suffix);

// Removes the unclaimed left-over temporary files in `folder`: hidden files (name
// starting with ".") whose name ends in ".tmp" and for which `wanted(name)` is true,
// older than LEFT_OVER_AGE. Returns how many were removed. Never throws.
int remove_dead_temp_files(const fs::path& folder, const std::function<bool(std::string_view name)>& wanted);

// A new private folder "<prefix><random>" inside `parent` (user only), claimed by this
// process through the file "<folder>.lock" beside it, which is claimed before the folder
// exists. Throws std::filesystem::filesystem_error.
struct ClaimedFolder {
    fs::path path;
    fs::path lock_path;
    FileClaim claim;
};
ClaimedFolder make_claimed_private_dir(const fs::path& parent, const std::string& prefix);

// Removes, with their content, the folders "<prefix>..." in `parent` whose process is
// dead: their lock file is unclaimed, or they have none and are older than a day
// (folders of a program version without locks); and lock files left without a folder.
// Returns how many folders were removed. Never throws.
int remove_dead_private_dirs(const fs::path& parent, const std::string& prefix);

}  // namespace platform
