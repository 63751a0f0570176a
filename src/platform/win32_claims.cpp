// Windows half of the claims and locks: a lock file held by LockFileEx, and claims
// that are open handles which do not share deletion. Compiled only on Windows.
#ifdef _WIN32
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <system_error>

#include "platform/claims.hpp"
#include "platform/win32_text.hpp"

namespace platform {

using win32::wide;

namespace {

[[noreturn]] void fail_last_error(const char* what, const fs::path& p) {
    throw fs::filesystem_error(what, p, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

std::intptr_t handle_value(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }
HANDLE as_handle(std::intptr_t v) { return reinterpret_cast<HANDLE>(v); }

}  // namespace

FileLock::FileLock(const fs::path& path, std::chrono::milliseconds wait, const std::function<void()>& on_wait) {
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail_last_error("cannot open lock file", path);
    // Asked without blocking and asked again now and then, so that the wait can be
    // given up; Windows drops the lock when the process ends.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool told = false;
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
        const DWORD err = GetLastError();
        if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) {
            if (std::chrono::steady_clock::now() < deadline) {
                if (!told && on_wait) on_wait();
                told = true;
                Sleep(static_cast<DWORD>(LOCK_POLL.count()));
                continue;
            }
            CloseHandle(h);
            throw fs::filesystem_error("cannot lock", path, std::make_error_code(std::errc::timed_out));
        }
        CloseHandle(h);
        SetLastError(err);
        fail_last_error("cannot lock", path);
    }
    handle_ = handle_value(h);
}

FileLock::~FileLock() {
    OVERLAPPED at{};
    UnlockFileEx(as_handle(handle_), 0, 1, 0, &at);
    CloseHandle(as_handle(handle_));
}

// A claim is an open handle that does not share deletion: while it is open, nobody
// can delete the file, and Windows closes it when the process ends.
FileClaim::FileClaim(const fs::path& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail_last_error("cannot claim file", path);
    handle_ = handle_value(h);
}

void FileClaim::release() noexcept {
    if (handle_ == -1) return;
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}

namespace detail {

bool delete_if_unclaimed(const fs::path& path) noexcept { return DeleteFileW(path.c_str()) != 0; }

}  // namespace detail

ClaimedFile reserve_claimed_sibling(const fs::path& target, const std::string& suffix) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p =
            target.parent_path() / (L"." + target.filename().wstring() + L"." + std::to_wstring(rd()) + wide(suffix));
        // Created and claimed in one step.
        HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return ClaimedFile{p, FileClaim::adopt(handle_value(h))};
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    fail_last_error("cannot create file", target);
}

ClaimedFolder make_claimed_private_dir(const fs::path& parent, const std::string& prefix) {
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 10; ++i) name += digits[rd() % 36];
        const fs::path folder = parent / fs::path(wide(name));
        const fs::path lock = parent / fs::path(wide(name + ".lock"));
        HANDLE h = CreateFileW(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            fail_last_error("cannot create a temporary folder", parent);
        }
        FileClaim claim = FileClaim::adopt(handle_value(h));
        if (CreateDirectoryW(folder.c_str(), nullptr)) return ClaimedFolder{folder, lock, std::move(claim)};
        const DWORD err = GetLastError();
        claim.release();
        DeleteFileW(lock.c_str());
        if (err != ERROR_ALREADY_EXISTS) {
            SetLastError(err);
            fail_last_error("cannot create a temporary folder", parent);
        }
    }
    fail_last_error("cannot create a temporary folder", parent);
}

}  // namespace platform
#endif
