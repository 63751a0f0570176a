// Child processes of a test: a program run with its own working folder and environment
// changes, its output captured; or a piece of the test run in a child, where it may
// change what a test process must not (a file-size limit, a small disk of its own, the
// user it runs as). POSIX only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fixtures {

// Forks; the child runs `body` and the text it returns comes back here. A body that
// throws gives "exception: <what>"; a child that dies gives "signal <n>" or "exit <n>".
// Assertions belong in the parent, on the returned text.
std::string run_in_child(const std::function<std::string()>& body);

// A child started with `body` and not yet waited for: several run at once.
class Child {
public:
    explicit Child(const std::function<std::string()>& body);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Waits; the text as run_in_child gives it.
    std::string result();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

struct RunOptions {
    std::filesystem::path cwd{};  // empty: the test's current folder
    // Changes to the test's environment: a value sets the variable, no value unsets it;
    // the last of several changes to one variable holds.
    std::vector<std::pair<std::string, std::optional<std::string>>> env{};
    int timeout_seconds = 120;  // a program still running then is killed (exit code -1)
};

struct RunResult {
    int exit_code = -1;  // -1 when killed by a signal or by the timeout
    std::string out;
    std::string err;
};

// Starts a program with `argv` (argv[0] is its path, never a shell line), standard
// input from /dev/null, in options.cwd with options.env applied to this process's
// environment; its standard output and error go to the files `out` and `err`.
// Returns its process id without waiting. Throws std::runtime_error when it cannot be
// started.
pid_t start_program(const std::vector<std::string>& argv, const RunOptions& options, const std::filesystem::path& out,
                    const std::filesystem::path& err);

// Starts a program as start_program does and waits for it (at most
// options.timeout_seconds); its output captured.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// Waits for a process and returns its wait status.
int wait_for(pid_t pid);

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
