// A private scratch folder, removed with everything in it when the owner goes away,
// when the process is told to stop, or, if the process was killed outright, by the next
// job that sweeps the temporary folder (remove_dead_private_dirs). The folder is claimed
// while it lives, so no sweeper ever takes a live job's folder.
#pragma once

#include <filesystem>
#include <string>

#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "platform/termination.hpp"

namespace platform {

class ScratchFolder {
public:
    // Creates "<prefix><random>" inside `parent`, private to the user, with its lock
    // file beside it. Throws std::filesystem::filesystem_error when it cannot be created.
    ScratchFolder(const fs::path& parent, const std::string& prefix) {
        without_termination([&] {
            folder_ = make_claimed_private_dir(parent, prefix);
            remove_lock_.reset(folder_.lock_path);  // registered first: removed after the folder
            remove_folder_.reset(folder_.path);
        });
    }
    // Removes the folder and its content, then its lock file; never throws.
    ~ScratchFolder() {
        remove_tree(folder_.path);
        folder_.claim.release();
        std::error_code ec;
        fs::remove(folder_.lock_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& path() const { return folder_.path; }

private:
    ClaimedFolder folder_;
    RemoveOnTermination remove_lock_;
    RemoveOnTermination remove_folder_;
};

}  // namespace platform
