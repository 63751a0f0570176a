// Running a program from a test: an argument vector (never a shell line), its own
// working folder and environment changes, standard output and error captured.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fixtures {

struct RunOptions {
    std::filesystem::path cwd{};  // empty: the test's current folder
    // Changes to the test's environment: a value sets the variable, no value unsets it.
    std::vector<std::pair<std::string, std::optional<std::string>>> env{};
    int timeout_seconds = 120;  // a program still running then is killed (exit code -1)
};

struct RunResult {
    int exit_code = -1;  // -1 when killed by a signal or by the timeout
    std::string out;
    std::string err;
};

// Starts argv[0] (a path) with `argv`, standard input from /dev/null, and waits for it.
// Throws std::runtime_error when it cannot be started.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace fixtures
