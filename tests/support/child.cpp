#include "support/child.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

extern char** environ;

namespace fixtures {

Child::Child(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        try {
            out = body();
        } catch (const std::exception& e) {
            out = std::string("exception: ") + e.what();
        } catch (...) {
            out = "exception: unknown";
        }
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    pid_ = pid;
    fd_ = fds[0];
}

Child::~Child() {
    if (pid_ > 0) result();
}

std::string Child::result() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    ::close(fd_);
    const int status = wait_for(pid_);
    pid_ = -1;
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) return "exit " + std::to_string(WEXITSTATUS(status));
    return out;
}

std::string run_in_child(const std::function<std::string()>& body) { return Child(body).result(); }

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

pid_t start_program(const std::vector<std::string>& argv, const RunOptions& options, const std::filesystem::path& out,
                    const std::filesystem::path& err) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [k, v] : options.env) replaced = replaced || k == name;
        if (!replaced) environment.push_back(entry);
    }
    // A variable named twice takes its last value, as setenv() in turn would give.
    for (std::size_t i = 0; i < options.env.size(); ++i) {
        const auto& [k, v] = options.env[i];
        bool later = false;
        for (std::size_t j = i + 1; j < options.env.size(); ++j) later = later || options.env[j].first == k;
        if (v && !later) environment.push_back(k + "=" + *v);
    }
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argv.at(0).c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv.at(0));
    return pid;
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
    TempDir capture;
    const pid_t pid = start_program(argv, options, capture / "out", capture / "err");
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = read_bytes(capture / "out");
    result.err = read_bytes(capture / "err");
    return result;
}

void limit_file_size(std::size_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

namespace {

bool write_file(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

}  // namespace

bool mount_small_disk(const std::filesystem::path& dir, std::size_t bytes) {
    if (::unshare(CLONE_NEWNS) != 0) {
        // Without the right to, a user namespace of our own gives it.
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        write_file("/proc/self/setgroups", "deny");
        if (!write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n")) return false;
        if (!write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) return false;
    }
    // Nothing mounted here may reach the system's own mount table.
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    const std::string options = "size=" + std::to_string(bytes);
    return ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

void fill_disk(const std::filesystem::path& dir) {
    const int fd = ::open((dir / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) throw std::runtime_error("cannot create the filler file");
    std::vector<char> block(4096, 'x');
    for (std::size_t size = block.size(); size > 0; size /= 2)
        while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {}
    ::close(fd);
}

bool drop_root() {
    if (::geteuid() != 0) return true;
    constexpr uid_t NOBODY = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setgid(NOBODY) == 0 && ::setuid(NOBODY) == 0;
}

}  // namespace fixtures
