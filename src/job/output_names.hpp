// The names of the program's output files, in one place: the merge job names its
// outputs with them, the job's clean-up and the old-sheet clean-up recognise them.
// All texts are UTF-8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace job {

namespace fs = std::filesystem;

// A free path in the archive's folder: "<stem>_<app_title>[_NEW]_MERGED[_<n>up].pdf",
// numbered " (i)" when taken. Creates nothing.
fs::path make_output_path(const fs::path& zip_path, int nup, bool new_only, std::string_view app_title);

// `path` when nothing exists there, else the first "<stem> (i)<ext>" for i = 1, 2, ... that is free.
fs::path unique_path(const fs::path& path);

// "<stem> (i)<ext>" beside `path`.
fs::path numbered(const fs::path& path, unsigned long long i);

// True when something (a file, a folder, a link, even a dangling one) is at `p`.
bool taken(const fs::path& p);

// True when a file name (or a hidden temporary name built from one) is one of ours:
// it holds "_" + app_title and "_MERGED", letter case exact.
bool is_output_name(std::string_view name, std::string_view app_title);

}  // namespace job
