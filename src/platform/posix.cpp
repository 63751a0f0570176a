// POSIX/X11 half of the platform layer.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>
#include <thread>

#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "platform/registry.hpp"

extern char** environ;

namespace platform {

namespace {

std::vector<fs::path>& search_dirs() {
    static std::vector<fs::path> dirs;
    return dirs;
}

bool blank(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

// Maps a POSIX locale name ("kk_KZ.UTF-8", "ru", "en_US") to a Windows language id.
std::uint16_t language_id_for_locale(const std::string& locale) {
    std::string lang = locale.substr(0, locale.find_first_of("_.@:"));
    if (lang == "kk") return 0x043F;
    if (lang == "ru") return 0x0419;
    return 0x0409;
}

}  // namespace

std::string utf8(const fs::path& p) { return p.native(); }

fs::path path_from_utf8(std::string_view s) { return fs::path(std::string(s)); }

std::vector<std::string> command_line_arguments(int argc, char** argv) { return {argv, argv + argc}; }

void attach_parent_console() {}

std::error_code tell_busy_from_denied(const fs::path&, std::error_code ec) noexcept { return ec; }

std::error_code last_system_error() { return {errno, std::generic_category()}; }

fs::path extended_length_path(const fs::path& p) { return p; }

std::vector<FolderEntry> list_folder(const fs::path& folder) {
    std::vector<FolderEntry> entries;
    for (const fs::directory_entry& e : fs::directory_iterator(folder))
        entries.push_back({e.path(), e.symlink_status().type()});
    return entries;
}

void create_folders(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw fs::filesystem_error("cannot create folder", folder, ec);
}

void create_folder(const fs::path& folder) {
    std::error_code ec;
    // create_directory() also accepts a link to a folder; the second look does not.
    if (fs::create_directory(folder, ec) || (!ec && fs::is_directory(fs::symlink_status(folder, ec)))) return;
    if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
    throw fs::filesystem_error("cannot create folder", folder, ec);
}

bool remove_tree(const fs::path& folder) noexcept {
    // Entry by entry rather than fs::remove_all, which stops at the first entry that
    // will not go: the rest still goes. A link is removed itself, never followed.
    std::error_code ec;
    const auto status = fs::symlink_status(folder, ec);
    if (ec) return ec == std::errc::no_such_file_or_directory;
    bool removed_all = true;
    if (fs::is_directory(status)) {
        fs::directory_iterator it(folder, ec);
        for (const fs::directory_iterator end; !ec && it != end; it.increment(ec))
            removed_all = remove_tree(it->path()) && removed_all;
        if (ec) removed_all = false;
    }
    fs::remove(folder, ec);
    return removed_all && !ec;
}

fs::path executable_path() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    if (ec) throw std::runtime_error("cannot find the executable: " + ec.message());
    return fs::weakly_canonical(p);
}

std::string executable_file_name(const std::string& base_name) { return base_name; }

std::optional<std::string> get_env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

void set_env(const std::string& name, const std::string& value) {
    if (::setenv(name.c_str(), value.c_str(), 1) != 0)
        throw std::system_error(errno, std::generic_category(), "setenv " + name);
}

fs::path user_home() {
    if (auto home = get_env("HOME"); home && !home->empty()) return fs::path(*home);
    std::error_code ec;
    return fs::current_path(ec);
}

fs::path local_app_data_dir() {
    if (auto v = get_env("LOCALAPPDATA"); v && !blank(*v)) {
        auto b = v->find_first_not_of(" \t\r\n\f\v");
        auto e = v->find_last_not_of(" \t\r\n\f\v");
        return fs::path(v->substr(b, e - b + 1));
    }
    if (auto v = get_env("XDG_DATA_HOME"); v && !v->empty() && fs::path(*v).is_absolute()) return fs::path(*v);
    return user_home() / ".local" / "share";
}

fs::path temp_dir() {
    std::error_code ec;
    fs::path p = fs::temp_directory_path(ec);
    return ec ? fs::path("/tmp") : p;
}

fs::path make_private_dir(const fs::path& parent, const std::string& prefix) {
    std::string pattern = (parent / (prefix + "XXXXXX")).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)  // mkdtemp creates the folder with mode 0700
        throw fs::filesystem_error("cannot create a temporary folder", parent,
                                   std::error_code(errno, std::generic_category()));
    return fs::path(buf.data());
}

namespace {

// Creates ".<target name>.XXXXXX<suffix>" beside target; returns its descriptor.
int make_sibling(const fs::path& target, const std::string& suffix, fs::path& made) {
    std::string name = ".";
    name += target.filename().string();
    name += ".XXXXXX";
    name += suffix;
    std::string pattern = (target.parent_path() / name).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkstemps(buf.data(), static_cast<int>(suffix.size()));
    if (fd < 0)
        throw fs::filesystem_error("cannot create file", target, std::error_code(errno, std::generic_category()));
    made = fs::path(buf.data());
    return fd;
}

}  // namespace

fs::path reserve_sibling(const fs::path& target, const std::string& suffix) {
    fs::path made;
    ::close(make_sibling(target, suffix, made));
    return made;
}

void rename_no_replace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without RENAME_NOREPLACE: a hard link fails on an existing
        // name just the same, and the temporary name is dropped after it.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return;
        }
        err = errno;
    }
    throw fs::filesystem_error("cannot write file", to, std::error_code(err, std::generic_category()));
}

void replace_file(const fs::path& from, const fs::path& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        throw fs::filesystem_error("cannot replace file", to, std::error_code(errno, std::generic_category()));
}

void sync_folder(const fs::path& folder) {
    const fs::path dir = folder.empty() ? fs::path(".") : folder;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw fs::filesystem_error("cannot sync folder", dir, std::error_code(errno, std::generic_category()));
    int rc = 0;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    // Some file systems (network and FUSE ones among them) cannot flush a folder: their
    // renames are as durable as they get.
    if (rc != 0 && err != EINVAL && err != ENOTSUP)
        throw fs::filesystem_error("cannot sync folder", dir, std::error_code(err, std::generic_category()));
}

fs::path link_target(const fs::path& p) {
    fs::path at = p;
    // As many links as the system itself follows (its SYMLOOP_MAX).
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(at, ec))) return at;
        const fs::path to = fs::read_symlink(at);
        at = to.is_absolute() ? to : at.parent_path() / to;
    }
    throw fs::filesystem_error("cannot follow link", p, std::make_error_code(std::errc::too_many_symbolic_link_levels));
}

bool read_only_file(const fs::path& p) noexcept {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // No write bit at all is read-only for everyone (root, who may write it anyway, too).
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return ::faccessat(AT_FDCWD, p.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

bool add_library_search_dir(const fs::path& dir) {
    auto& dirs = search_dirs();
    if (std::find(dirs.begin(), dirs.end(), dir) != dirs.end()) return false;
    dirs.insert(dirs.begin(), dir);
    return true;
}

std::vector<fs::path> library_search_dirs() { return search_dirs(); }

std::optional<std::uint16_t> ui_language_id() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        auto v = get_env(name);
        if (!v || v->empty()) continue;
        // LANGUAGE may list several languages separated by colons; the first counts.
        return language_id_for_locale(v->substr(0, v->find(':')));
    }
    return std::nullopt;
}

std::uint16_t oem_code_page() {
    const std::optional<std::uint16_t> id = ui_language_id();
    return id == 0x0419 || id == 0x043F ? 866 : 437;
}

namespace {

// Collects the exit status of a child that nobody waits for, so that it does not stay
// a zombie for as long as this process lives: a detached thread waits for exactly this
// child (never for any other, which a SIGCHLD handler or waitpid(-1) would steal from
// whoever waits for it). Should no thread start, the child stays a zombie until this
// process ends, and nothing else goes wrong.
void reap_when_done(pid_t pid) noexcept {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        }).detach();
    } catch (const std::exception&) {}
}

}  // namespace

bool shell_open(const std::string& target) {
    // Started directly with an argument vector: the target is never seen by a shell.
    std::string program = "xdg-open";
    std::vector<char*> argv{program.data(), const_cast<char*>(target.c_str()), nullptr};
    // The termination signals may be blocked in this process (they are taken by a
    // thread of their own); the program started gets the usual mask and handlers.
    posix_spawnattr_t attr;
    if (::posix_spawnattr_init(&attr) != 0) return false;
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) sigaddset(&defaults, sig);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const bool started = ::posix_spawnp(&pid, program.c_str(), nullptr, &attr, argv.data(), environ) == 0;
    ::posix_spawnattr_destroy(&attr);
    if (!started) return false;
    // xdg-open that finds no program ends at once with a failure status (3: no method,
    // 4: the program failed to start); one that found it may stay as long as the
    // program it started runs (its generic way runs the program in the foreground).
    // Its answer is awaited for a bounded time: an opener still running then is taken
    // for success, and is waited for in the background.
    const auto give_up = std::chrono::steady_clock::now() + OPENER_ANSWER_WAIT;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return true;  // not ours to wait for any more: nothing known against it
        if (std::chrono::steady_clock::now() >= give_up) {
            reap_when_done(pid);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// --- claims and locks ------------------------------------------------------------

namespace {

[[noreturn]] void fail_errno(const char* what, const fs::path& p, int err) {
    throw fs::filesystem_error(what, p, std::error_code(err, std::generic_category()));
}

int flock_retrying(int fd, int operation) {
    int r;
    do r = ::flock(fd, operation);
    while (r != 0 && errno == EINTR);
    return r;
}

}  // namespace

FileLock::FileLock(const fs::path& path, std::chrono::milliseconds wait, const std::function<void()>& on_wait) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail_errno("cannot open lock file", path, errno);
    // Asked without blocking and asked again now and then: a blocking flock could not
    // be given up after `wait`.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool told = false;
    while (flock_retrying(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) {
            if (std::chrono::steady_clock::now() < deadline) {
                if (!told && on_wait) on_wait();
                told = true;
                std::this_thread::sleep_for(LOCK_POLL);
                continue;
            }
            err = ETIMEDOUT;
        }
        ::close(fd);
        fail_errno("cannot lock", path, err);
    }
    handle_ = fd;
}

FileLock::~FileLock() { ::close(static_cast<int>(handle_)); }

// A claim is a shared flock: any number of holders, and a sweeper's exclusive,
// non-waiting flock succeeds only when none is left.
FileClaim::FileClaim(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) fail_errno("cannot claim file", path, errno);
    if (flock_retrying(fd, LOCK_SH | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        fail_errno("cannot claim file", path, err == EWOULDBLOCK ? EBUSY : err);
    }
    handle_ = fd;
}

void FileClaim::release() noexcept {
    if (handle_ == -1) return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}

namespace detail {

bool delete_if_unclaimed(const fs::path& path) noexcept {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool removed = false;
    // Held while the name is removed: nobody can claim it in between.
    if (flock_retrying(fd, LOCK_EX | LOCK_NB) == 0) removed = ::unlink(path.c_str()) == 0;
    ::close(fd);
    return removed;
}

}  // namespace detail

ClaimedFile reserve_claimed_sibling(const fs::path& target, const std::string& suffix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path path;
        const int fd = make_sibling(target, suffix, path);
        // mkstemps makes the file private; the file it becomes is an ordinary one.
        ::fchmod(fd, 0644);
        if (flock_retrying(fd, LOCK_SH | LOCK_NB) == 0) return ClaimedFile{path, FileClaim::adopt(fd)};
        ::close(fd);  // a sweeper took it in the moment between; try another name
    }
    fail_errno("cannot create file", target, EBUSY);
}

ClaimedFolder make_claimed_private_dir(const fs::path& parent, const std::string& prefix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string pattern = (parent / (prefix + "XXXXXX.lock")).string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        const int fd = ::mkstemps(buf.data(), 5);
        if (fd < 0) fail_errno("cannot create a temporary folder", parent, errno);
        const fs::path lock(buf.data());
        if (flock_retrying(fd, LOCK_SH | LOCK_NB) != 0) {  // a sweeper took it first
            ::close(fd);
            continue;
        }
        fs::path folder = lock;
        folder.replace_extension();
        // The descriptor that holds the flock becomes the claim.
        if (::mkdir(folder.c_str(), 0700) == 0) return ClaimedFolder{folder, lock, FileClaim::adopt(fd)};
        const int err = errno;
        ::unlink(lock.c_str());
        ::close(fd);
        if (err != EEXIST) fail_errno("cannot create a temporary folder", parent, err);
    }
    fail_errno("cannot create a temporary folder", parent, EEXIST);
}

fs::path xdg_data_home() {
    if (auto v = get_env("XDG_DATA_HOME"); v && fs::path(*v).is_absolute()) return fs::path(*v);
    return user_home() / ".local" / "share";
}

fs::path xdg_config_home() {
    if (auto v = get_env("XDG_CONFIG_HOME"); v && fs::path(*v).is_absolute()) return fs::path(*v);
    return user_home() / ".config";
}

std::optional<fs::path> xdg_user_dir(std::string_view text, std::string_view key, const fs::path& home) {
    std::optional<fs::path> found;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.substr(0, key.size()) != key || line.substr(key.size(), 2) != "=\"") continue;
        line.remove_prefix(key.size() + 2);
        std::string value;
        bool closed = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') {
                closed = true;
                break;
            }
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            value += line[i];
        }
        if (!closed) continue;
        fs::path folder;
        if (std::string_view(value).substr(0, 5) == "$HOME") {
            const std::string_view rest = std::string_view(value).substr(5);
            if (!rest.empty() && rest.front() != '/') continue;
            folder = home / fs::path(std::string(rest)).relative_path();
        } else if (!value.empty() && value.front() == '/') {
            folder = fs::path(value);
        } else {
            continue;  // xdg-user-dirs writes only these two forms
        }
        found = folder;
    }
    const auto without_slash = [](const fs::path& p) {
        const fs::path n = p.lexically_normal();
        return n.has_filename() ? n : n.parent_path();
    };
    if (found && without_slash(*found) == without_slash(home)) return std::nullopt;
    return found;
}

std::optional<fs::path> downloads_dir() {
    const fs::path home = user_home();
    std::optional<fs::path> folder;
    std::ifstream in(xdg_config_home() / "user-dirs.dirs", std::ios::binary);
    if (in) {
        // A few lines normally; a larger file is not the one xdg-user-dirs writes.
        std::string text(64 * 1024, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        folder = xdg_user_dir(text, "XDG_DOWNLOAD_DIR", home);
    }
    std::error_code ec;
    if (folder && fs::is_directory(*folder, ec)) return folder;
    if (fs::is_directory(home / "Downloads", ec)) return home / "Downloads";
    return std::nullopt;
}

std::unique_ptr<Registry> current_user_registry() { return nullptr; }

}  // namespace platform
#endif
