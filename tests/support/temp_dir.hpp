// A fresh folder for one test, removed with its content when the test ends.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace fixtures {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / std::filesystem::path(name); }

private:
    std::filesystem::path path_;
};

// Whole content of a file as bytes; throws std::runtime_error when it cannot be read.
std::string read_bytes(const std::filesystem::path& p);

// Writes bytes as the whole content of a file, creating its folder.
void write_bytes(const std::filesystem::path& p, std::string_view bytes);

// The names (UTF-8) of what a folder holds, files and folders alike, not looking inside
// sub-folders; empty when the folder is missing.
std::set<std::string> names_in(const std::filesystem::path& folder);

}  // namespace fixtures
