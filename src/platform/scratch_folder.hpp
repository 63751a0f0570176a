// A private scratch folder, removed with everything in it when the owner goes away.
#pragma once

#include <filesystem>
#include <string>

#include "platform/platform.hpp"

namespace platform {

class ScratchFolder {
public:
    // Creates "<prefix><random>" inside `parent`, private to the user. Throws
    // std::filesystem::filesystem_error when it cannot be created.
    ScratchFolder(const fs::path& parent, const std::string& prefix) : path_(make_private_dir(parent, prefix)) {}
    // Removes the folder and its content; never throws.
    ~ScratchFolder() { remove_tree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace platform
