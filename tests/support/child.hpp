// Running a piece of a test in a child process, where it may change what a test
// process must not: a file-size limit, a small disk of its own, the user it runs as.
// POSIX only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

namespace fixtures {

// Forks; the child runs `body` and the text it returns comes back here. A body that
// throws gives "exception: <what>"; a child that dies gives "signal <n>" or "exit <n>".
// Assertions belong in the parent, on the returned text.
std::string run_in_child(const std::function<std::string()>& body);

// In a child only: writes past `bytes` bytes in any file fail with EFBIG (the signal
// that would end the process is ignored).
void limit_file_size(std::size_t bytes);

// In a child only: mounts a tmpfs of `bytes` bytes over the existing folder `dir`, in a
// mount namespace of the child's own. False when the system does not allow it.
bool mount_small_disk(const std::filesystem::path& dir, std::size_t bytes);

// Fills the disk holding `dir` with a file `dir`/filler until no byte is free.
void fill_disk(const std::filesystem::path& dir);

// In a child only: runs on as an unprivileged user (nobody) when running as root, so
// that file permissions apply. False when that fails.
bool drop_root();

}  // namespace fixtures
