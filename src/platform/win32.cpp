// Windows half of the platform layer. Compiled only on Windows; wide strings stay here.
#ifdef _WIN32
#include "platform/platform.hpp"
#include "platform/claims.hpp"
#include "platform/registry.hpp"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <random>
#include <system_error>

namespace platform {

namespace {

std::wstring wide(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

std::vector<fs::path>& search_dirs() {
    static std::vector<fs::path> dirs;
    return dirs;
}

}  // namespace

fs::path executable_path() {
    std::wstring buf(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
    buf.resize(n);
    return fs::weakly_canonical(fs::path(buf));
}

std::vector<std::string> command_line_arguments(int, char**) {
    int count = 0;
    LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (wide_args == nullptr) return args;
    for (int i = 0; i < count; ++i) args.push_back(narrow(wide_args[i]));
    LocalFree(wide_args);
    return args;
}

std::string executable_file_name(const std::string& base_name) { return base_name + ".exe"; }

std::optional<std::string> get_env(const std::string& name) {
    std::wstring wname = wide(name);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (n == 0) return std::nullopt;
    std::wstring v(n, L'\0');
    n = GetEnvironmentVariableW(wname.c_str(), v.data(), n);
    v.resize(n);
    return narrow(v);
}

void set_env(const std::string& name, const std::string& value) {
    if (_wputenv_s(wide(name).c_str(), wide(value).c_str()) != 0)
        throw std::runtime_error("cannot set " + name);
}

fs::path user_home() {
    if (auto v = get_env("USERPROFILE"); v && !v->empty()) return fs::path(wide(*v));
    std::error_code ec;
    return fs::current_path(ec);
}

fs::path local_app_data_dir() {
    if (auto v = get_env("LOCALAPPDATA")) {
        auto b = v->find_first_not_of(" \t\r\n\f\v");
        if (b != std::string::npos) {
            auto e = v->find_last_not_of(" \t\r\n\f\v");
            return fs::path(wide(v->substr(b, e - b + 1)));
        }
    }
    return user_home() / "AppData" / "Local";
}

fs::path temp_dir() { return fs::temp_directory_path(); }

fs::path make_private_dir(const fs::path& parent, const std::string& prefix) {
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 10; ++i) name += digits[rd() % 36];
        fs::path p = parent / fs::path(wide(name));
        // The user's temporary folder is already private to the user.
        if (CreateDirectoryW(p.c_str(), nullptr)) return p;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw fs::filesystem_error("cannot create a temporary folder", parent,
                               std::error_code(static_cast<int>(GetLastError()),
                                               std::system_category()));
}

fs::path reserve_sibling(const fs::path& target, const std::string& suffix) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = target.parent_path() /
                     (L"." + target.filename().wstring() + L"." + std::to_wstring(rd()) + wide(suffix));
        HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return p;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    throw fs::filesystem_error("cannot create file", target,
                               std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

void rename_no_replace(const fs::path& from, const fs::path& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return;
    const DWORD err = GetLastError();
    // Callers tell a taken name by std::errc::file_exists, as on every platform.
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
        throw fs::filesystem_error("cannot write file", to, std::make_error_code(std::errc::file_exists));
    throw fs::filesystem_error("cannot write file", to, std::error_code(static_cast<int>(err), std::system_category()));
}

bool add_library_search_dir(const fs::path& dir) {
    auto& dirs = search_dirs();
    if (std::find(dirs.begin(), dirs.end(), dir) != dirs.end()) return false;
    SetDllDirectoryW(dir.c_str());
    dirs.insert(dirs.begin(), dir);
    return true;
}

std::vector<fs::path> library_search_dirs() { return search_dirs(); }

std::optional<std::uint16_t> ui_language_id() { return GetUserDefaultUILanguage(); }

bool shell_open(const std::string& target) {
    auto r = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", wide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return r > 32;
}

// --- claims and locks ------------------------------------------------------------

namespace {

[[noreturn]] void fail_last_error(const char* what, const fs::path& p) {
    throw fs::filesystem_error(what, p, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

std::intptr_t handle_value(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }
HANDLE as_handle(std::intptr_t v) { return reinterpret_cast<HANDLE>(v); }

}  // namespace

FileLock::FileLock(const fs::path& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail_last_error("cannot open lock file", path);
    OVERLAPPED at{};
    // Waits; Windows drops the lock when the process ends.
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        const DWORD err = GetLastError();
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
        fs::path p = target.parent_path() /
                     (L"." + target.filename().wstring() + L"." + std::to_wstring(rd()) + wide(suffix));
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
namespace {

[[noreturn]] void registry_failure(const char* call, std::string_view key, LONG rc) {
    throw RegistryError(std::string(call) + " " + std::string(key) + ": " +
                            std::system_category().message(static_cast<int>(rc)),
                        rc);
}

// HKEY_CURRENT_USER through the wide-character registry calls.
class CurrentUserRegistry final : public Registry {
public:
    void set_string(std::string_view key, std::string_view name, std::string_view data) override {
        HKEY h = nullptr;
        LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, wide(std::string(key)).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h, nullptr);
        if (rc != ERROR_SUCCESS) registry_failure("RegCreateKeyExW", key, rc);
        const std::wstring wname = wide(std::string(name));
        const std::wstring wdata = wide(std::string(data));
        // REG_SZ data is counted in bytes and includes the terminating null.
        rc = RegSetValueExW(h, name.empty() ? nullptr : wname.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wdata.c_str()),
                            static_cast<DWORD>((wdata.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS) registry_failure("RegSetValueExW", key, rc);
    }

    std::optional<std::string> first_subkey(std::string_view key) override {
        HKEY h = nullptr;
        LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, wide(std::string(key)).c_str(), 0, KEY_READ | KEY_WRITE, &h);
        if (rc != ERROR_SUCCESS) registry_failure("RegOpenKeyExW", key, rc);
        wchar_t child[256];  // a key name holds at most 255 characters
        DWORD length = 256;
        rc = RegEnumKeyExW(h, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(h);
        if (rc == ERROR_NO_MORE_ITEMS) return std::nullopt;
        if (rc != ERROR_SUCCESS) registry_failure("RegEnumKeyExW", key, rc);
        return narrow(std::wstring(child, length));
    }

    void delete_key(std::string_view key) override {
        LONG rc = RegDeleteKeyW(HKEY_CURRENT_USER, wide(std::string(key)).c_str());
        if (rc != ERROR_SUCCESS) registry_failure("RegDeleteKeyW", key, rc);
    }
};

}  // namespace

std::unique_ptr<Registry> current_user_registry() { return std::make_unique<CurrentUserRegistry>(); }

}  // namespace platform
#endif
