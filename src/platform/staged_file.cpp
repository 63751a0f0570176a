#include "platform/staged_file.hpp"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/platform.hpp"

namespace platform {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& p, int err) {
    throw fs::filesystem_error(what, p, std::error_code(err, std::generic_category()));
}

[[noreturn]] void fail(const char* what, const fs::path& p, std::error_code ec) {
    throw fs::filesystem_error(what, p, ec);
}

#ifdef _WIN32
int open_new(const fs::path& p) {
    int fd = -1;
    _wsopen_s(&fd, extended_length_path(p).c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _SH_DENYWR,
              _S_IREAD | _S_IWRITE);
    return fd;
}
int write_some(int fd, const char* data, std::size_t n) {
    return _write(fd, data, static_cast<unsigned>(n > 0x40000000 ? 0x40000000 : n));
}
int flush_to_disk(int fd) { return _commit(fd); }
int close_file(int fd) { return _close(fd); }
#else
int open_new(const fs::path& p) { return ::open(p.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW); }
ssize_t write_some(int fd, const char* data, std::size_t n) { return ::write(fd, data, n); }
int flush_to_disk(int fd) { return ::fsync(fd); }
int close_file(int fd) { return ::close(fd); }
#endif

// Temporary files of `target` left by processes that died.
void remove_dead_siblings(const fs::path& target) {
    std::string prefix = ".";
    const std::u8string name = target.filename().u8string();
    prefix.append(name.begin(), name.end());
    prefix += '.';
    remove_dead_temp_files(target.parent_path(),
                           [&](std::string_view n) { return n.substr(0, prefix.size()) == prefix; });
}

}  // namespace

void Renamer::replace(const fs::path& from, const fs::path& to) { replace_file(from, to); }

void Renamer::rename_no_replace(const fs::path& from, const fs::path& to) { platform::rename_no_replace(from, to); }

void Renamer::sync_folder(const fs::path& folder) { platform::sync_folder(folder); }

Renamer& system_renamer() {
    static Renamer renamer;
    return renamer;
}

StagedFile::StagedFile(fs::path target, Renamer& renamer) : renamer_(renamer), target_(link_target(target)) {
    // Windows refuses to replace a read-only file, and the user who marked it so does
    // not want it changed: here too it stays as it is.
    if (read_only_file(target_))
        fail("cannot replace a read-only file", target_, std::make_error_code(std::errc::permission_denied));
    remove_dead_siblings(target_);
    without_termination([&] {
        ClaimedFile reserved = reserve_claimed_sibling(target_, ".tmp");
        temp_ = std::move(reserved.path);
        claim_ = std::move(reserved.claim);
        remove_on_termination_.reset(temp_);
    });
    fd_ = open_new(temp_);
    if (fd_ < 0) {
        const int err = errno;
        std::error_code ec;
        fs::remove(temp_, ec);
        fail("cannot create file", temp_, err);
    }
}

StagedFile::~StagedFile() {
    if (fd_ >= 0) close_file(fd_);
    claim_.release();
    if (!committed_) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void StagedFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = write_some(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write file", temp_, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void StagedFile::commit() {
    if (flush_to_disk(fd_) != 0) fail("cannot write file", temp_, errno);
    const int fd = fd_;
    fd_ = -1;
    if (close_file(fd) != 0) fail("cannot write file", temp_, errno);
    // Windows renames a file only when no handle forbids its deletion, and the claim
    // does; the file was written a moment ago, so no sweeper takes it meanwhile.
    claim_.release();
    renamer_.replace(temp_, target_);
    committed_ = true;
    remove_on_termination_.reset();
    renamer_.sync_folder(target_.parent_path());
}

fs::path StagedFile::commit_with(const std::function<fs::path(const fs::path& temp)>& place, bool durable) {
    if (durable && flush_to_disk(fd_) != 0) fail("cannot write file", temp_, errno);
    const int fd = fd_;
    fd_ = -1;
    if (close_file(fd) != 0) fail("cannot write file", temp_, errno);
    claim_.release();  // as in commit(): Windows moves no file that a handle keeps
    fs::path placed = without_termination([&] {
        fs::path placed_at = place(temp_);
        committed_ = true;
        remove_on_termination_.reset();
        return placed_at;
    });
    if (durable && placed != temp_) renamer_.sync_folder(placed.parent_path());
    return placed;
}

void write_file_atomically(const fs::path& target, std::string_view bytes, Renamer& renamer) {
    StagedFile f(target, renamer);
    f.write(bytes);
    f.commit();
}

std::error_code try_create_beside(const fs::path& target) noexcept {
    try {
        const fs::path probe = reserve_sibling(target, ".tmp");
        std::error_code ignored;
        fs::remove(probe, ignored);
        return {};
    } catch (const fs::filesystem_error& e) {
        return e.code();
    } catch (const std::exception&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

bool is_no_write_access(const std::error_code& ec) noexcept {
    return ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
           ec == std::errc::read_only_file_system;
}

}  // namespace platform
