// Windows half of the platform layer. Compiled only on Windows; wide strings stay here.
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <system_error>

#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "platform/registry.hpp"
#include "platform/win32_text.hpp"

namespace platform {

namespace win32 {

// The one pair of conversions between the program's UTF-8 and the system's UTF-16.
// Invalid UTF-8 becomes U+FFFD rather than failing: a damaged name is still shown.
std::wstring wide(std::string_view s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(std::wstring_view w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace win32

namespace {

using win32::narrow;
using win32::wide;

// GetLastError() codes, with the system's own message texts (in the user's interface
// language) and the portable conditions callers compare against.
class Win32Category : public std::error_category {
public:
    const char* name() const noexcept override { return "win32"; }

    std::string message(int code) const override {
        wchar_t* buffer = nullptr;
        const DWORD n =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        if (n == 0 || buffer == nullptr) return "Windows error " + std::to_string(code);
        std::wstring text(buffer, n);
        LocalFree(buffer);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
        return narrow(text);
    }

    std::error_condition default_error_condition(int code) const noexcept override {
        switch (code) {
            case ERROR_FILE_EXISTS:
            case ERROR_ALREADY_EXISTS:
                return std::errc::file_exists;
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                return std::errc::no_such_file_or_directory;
            case ERROR_ACCESS_DENIED:
                return std::errc::permission_denied;
            case ERROR_DISK_FULL:
            case ERROR_HANDLE_DISK_FULL:
                return std::errc::no_space_on_device;
            case ERROR_SHARING_VIOLATION:
            case ERROR_LOCK_VIOLATION:
                return std::errc::device_or_resource_busy;
            case ERROR_FILENAME_EXCED_RANGE:
                return std::errc::filename_too_long;
            case ERROR_DIR_NOT_EMPTY:
                return std::errc::directory_not_empty;
            default:
                return {code, *this};
        }
    }
};

const std::error_category& win32_category() {
    static const Win32Category category;
    return category;
}

std::error_code error_from(DWORD code) { return {static_cast<int>(code), win32_category()}; }

std::vector<fs::path>& search_dirs() {
    static std::vector<fs::path> dirs;
    return dirs;
}

bool blank(std::string_view s) { return s.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos; }

std::string trimmed(std::string_view s) {
    const auto b = s.find_first_not_of(" \t\r\n\f\v");
    const auto e = s.find_last_not_of(" \t\r\n\f\v");
    return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b + 1));
}

}  // namespace

std::string utf8(const fs::path& p) { return narrow(p.native()); }

fs::path path_from_utf8(std::string_view s) { return fs::path(wide(s)); }

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    int n = 0;
    std::unique_ptr<LPWSTR, decltype(&LocalFree)> args(CommandLineToArgvW(GetCommandLineW(), &n), &LocalFree);
    if (!args) return {argv, argv + argc};
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) result.push_back(narrow(args.get()[i]));
    return result;
}

void attach_parent_console() {
    auto leads_nowhere = [](DWORD which) {
        HANDLE h = GetStdHandle(which);
        return h == nullptr || h == INVALID_HANDLE_VALUE || GetFileType(h) == FILE_TYPE_UNKNOWN;
    };
    const bool out = leads_nowhere(STD_OUTPUT_HANDLE);
    const bool err = leads_nowhere(STD_ERROR_HANDLE);
    if (!out && !err) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    // The console shows UTF-8 as such, so the report's Cyrillic letters come out right.
    // The console is the user's, though: its code page is put back when the program
    // ends (after the last output, which the console converts as it is written).
    static UINT before = 0;
    before = GetConsoleOutputCP();
    if (before != 0 && before != CP_UTF8) {
        SetConsoleOutputCP(CP_UTF8);
        std::atexit([] {
            std::fflush(stdout);
            std::fflush(stderr);
            SetConsoleOutputCP(before);
        });
    }
    FILE* ignored = nullptr;
    if (out) freopen_s(&ignored, "CONOUT$", "w", stdout);
    if (err) freopen_s(&ignored, "CONOUT$", "w", stderr);
}

std::error_code last_system_error() { return error_from(GetLastError()); }

std::error_code tell_busy_from_denied(const fs::path& p, std::error_code ec) noexcept {
    if (ec != std::errc::permission_denied) return ec;
    // Asking for reading and deletion while sharing everything: another handle that
    // shares neither makes the system answer with a sharing violation; rights that are
    // really missing still give "access denied".
    try {
        HANDLE h = CreateFileW(extended_length_path(p).c_str(), GENERIC_READ | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return ec;
        }
        if (GetLastError() == ERROR_SHARING_VIOLATION) return error_from(ERROR_SHARING_VIOLATION);
    } catch (...) {}
    return ec;
}

fs::path extended_length_path(const fs::path& p) {
    const std::wstring& s = p.native();
    auto separator = [&](std::size_t i) { return i < s.size() && (s[i] == L'\\' || s[i] == L'/'); };
    // MAX_PATH counts the terminating null; CreateDirectoryW leaves room for an 8.3
    // file name, so folders need the prefix from 248 characters on.
    if (s.size() < 248 || s.starts_with(LR"(\\?\)")) return p;
    if (separator(0) && separator(1)) {
        // \\server\share\...: the library does not take "\\server" for a root name, so
        // the part after the two separators is normalised as a relative path.
        const fs::path rest = fs::path(s.substr(2)).lexically_normal().make_preferred();
        return fs::path(LR"(\\?\UNC\)" + rest.native());
    }
    if (s.size() > 2 && s[1] == L':' && separator(2))
        return fs::path(LR"(\\?\)" + p.lexically_normal().make_preferred().native());
    return p;  // relative: the prefix would change its meaning
}

std::vector<FolderEntry> list_folder(const fs::path& folder) {
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW(extended_length_path(folder / L"*").c_str(), FindExInfoBasic, &found,
                                FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) throw fs::filesystem_error("cannot list folder", folder, last_system_error());
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        fs::file_type type = fs::file_type::regular;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            type = fs::file_type::symlink;
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            type = fs::file_type::directory;
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
            type = fs::file_type::unknown;
        entries.push_back({folder / fs::path(name), type});
    } while (FindNextFileW(h, &found));
    const DWORD error = GetLastError();
    FindClose(h);
    if (error != ERROR_NO_MORE_FILES) throw fs::filesystem_error("cannot list folder", folder, error_from(error));
    return entries;
}

void create_folders(const fs::path& folder) {
    auto is_folder = [](const fs::path& p) {
        const DWORD attributes = GetFileAttributesW(extended_length_path(p).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    };
    // The missing folders, innermost first, up to the first one that exists.
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && p.has_relative_path() && !is_folder(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p.parent_path() == p) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (CreateDirectoryW(extended_length_path(*it).c_str(), nullptr)) continue;
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS && is_folder(*it)) continue;
        throw fs::filesystem_error("cannot create folder", *it, error_from(error));
    }
}

void create_folder(const fs::path& folder) {
    const std::wstring target = extended_length_path(folder).native();
    if (CreateDirectoryW(target.c_str(), nullptr)) return;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        // A link or junction to a folder is no folder of ours.
        const DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            return;
        error = ERROR_DIRECTORY;
    }
    throw fs::filesystem_error("cannot create folder", folder, error_from(error));
}

bool remove_tree(const fs::path& folder) noexcept {
    try {
        bool removed_all = true;
        for (const FolderEntry& e : list_folder(folder)) {
            const std::wstring target = extended_length_path(e.path).native();
            if (e.type == fs::file_type::directory) {
                removed_all = remove_tree(e.path) && removed_all;
                continue;
            }
            // Deleted straight away: each extra call opens the file once more, and a job
            // removes a thousand of them. Only a file that refuses (read-only) has its
            // attributes cleared first; a link to a folder is removed as a folder.
            if (DeleteFileW(target.c_str())) continue;
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileW(target.c_str()) && !RemoveDirectoryW(target.c_str())) removed_all = false;
        }
        return RemoveDirectoryW(extended_length_path(folder).c_str()) && removed_all;
    } catch (...) {
        return false;
    }
}

fs::path executable_path() {
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) throw std::system_error(last_system_error(), "cannot find the executable");
    buf.resize(n);
    return fs::weakly_canonical(fs::path(buf));
}

std::string executable_file_name(const std::string& base_name) { return base_name + ".exe"; }

std::optional<std::string> get_env(const std::string& name) {
    const std::wstring wname = wide(name);
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    // 0 with no error is a variable set to the empty text.
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring v(n, L'\0');
    n = GetEnvironmentVariableW(wname.c_str(), v.data(), n);
    v.resize(n);
    return narrow(v);
}

void set_env(const std::string& name, const std::string& value) {
    // _wputenv_s updates both the C runtime's copy (which Tcl reads) and the process's.
    if (_wputenv_s(wide(name).c_str(), wide(value).c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot set " + name);
}

fs::path user_home() {
    if (auto v = get_env("USERPROFILE"); v && !blank(*v)) return path_from_utf8(trimmed(*v));
    std::error_code ec;
    return fs::current_path(ec);
}

fs::path local_app_data_dir() {
    if (auto v = get_env("LOCALAPPDATA"); v && !blank(*v)) return path_from_utf8(trimmed(*v));
    PWSTR known = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &known))) {
        fs::path p(known);
        CoTaskMemFree(known);
        return p;
    }
    CoTaskMemFree(known);
    return user_home() / "AppData" / "Local";
}

std::optional<fs::path> downloads_dir() {
    PWSTR known = nullptr;
    std::optional<fs::path> folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_DEFAULT, nullptr, &known))) folder = fs::path(known);
    CoTaskMemFree(known);
    std::error_code ec;
    if (folder && fs::is_directory(*folder, ec)) return folder;
    return std::nullopt;
}

fs::path temp_dir() {
    std::wstring buf(MAX_PATH + 1, L'\0');
    DWORD n = GetTempPathW(static_cast<DWORD>(buf.size()), buf.data());
    if (n > buf.size()) {
        buf.resize(n);
        n = GetTempPathW(static_cast<DWORD>(buf.size()), buf.data());
    }
    if (n == 0) return user_home() / "AppData" / "Local" / "Temp";
    buf.resize(n);
    return fs::path(buf).lexically_normal();
}

fs::path make_private_dir(const fs::path& parent, const std::string& prefix) {
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 10; ++i) name += digits[rd() % 36];
        const fs::path p = parent / path_from_utf8(name);
        // The user's temporary folder is already private to the user; the new folder
        // inherits its access rights.
        if (CreateDirectoryW(extended_length_path(p).c_str(), nullptr)) return p;
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) break;
    }
    throw fs::filesystem_error("cannot create a temporary folder", parent, error_from(error));
}

fs::path reserve_sibling(const fs::path& target, const std::string& suffix) {
    std::random_device rd;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path p =
            target.parent_path() / (L"." + target.filename().native() + L"." + std::to_wstring(rd()) + wide(suffix));
        HANDLE h = CreateFileW(extended_length_path(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return p;
        }
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS) break;
    }
    throw fs::filesystem_error("cannot create file", target, error_from(error));
}

void rename_no_replace(const fs::path& from, const fs::path& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
    if (MoveFileExW(extended_length_path(from).c_str(), extended_length_path(to).c_str(), MOVEFILE_WRITE_THROUGH))
        return;
    const DWORD err = GetLastError();
    // Callers tell a taken name by std::errc::file_exists, as on every platform.
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
        throw fs::filesystem_error("cannot write file", to, std::make_error_code(std::errc::file_exists));
    throw fs::filesystem_error("cannot write file", to, std::error_code(static_cast<int>(err), std::system_category()));
}

void replace_file(const fs::path& from, const fs::path& to) {
    // The write-through flag returns after the move is on disk.
    if (MoveFileExW(extended_length_path(from).c_str(), extended_length_path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    throw fs::filesystem_error("cannot replace file", to, tell_busy_from_denied(to, last_system_error()));
}

// Every rename of ours passes MOVEFILE_WRITE_THROUGH, which returns once the move is on
// disk: nothing is left to flush.
void sync_folder(const fs::path&) {}

fs::path link_target(const fs::path& p) {
    const fs::path native = extended_length_path(p);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return p;
    // Opening the link (no FILE_FLAG_OPEN_REPARSE_POINT) opens what it leads to; the
    // handle then tells that file's own path. A link to nothing is left as it is.
    HANDLE h = CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return p;
    constexpr DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring final_path(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, final_path.data(), static_cast<DWORD>(final_path.size()), flags);
    if (n >= final_path.size()) {  // too small: n is the size needed
        final_path.assign(n, L'\0');
        n = GetFinalPathNameByHandleW(h, final_path.data(), static_cast<DWORD>(final_path.size()), flags);
    }
    CloseHandle(h);
    if (n == 0 || n >= final_path.size()) return p;
    final_path.resize(n);
    // Back from the extended-length form, which std::filesystem's queries refuse.
    if (final_path.starts_with(LR"(\\?\UNC\)")) return fs::path(LR"(\\)" + final_path.substr(8));
    if (final_path.starts_with(LR"(\\?\)")) return fs::path(final_path.substr(4));
    return fs::path(final_path);
}

bool read_only_file(const fs::path& p) noexcept {
    try {
        const DWORD attributes = GetFileAttributesW(extended_length_path(p).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    } catch (...) {
        return false;
    }
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

std::uint16_t oem_code_page() { return static_cast<std::uint16_t>(GetOEMCP()); }

bool shell_open(const std::string& target) {
    const auto r = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", wide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return r > 32;
}

namespace {

[[noreturn]] void registry_failure(const char* call, std::string_view key, LONG rc) {
    throw RegistryError(
        std::string(call) + " " + std::string(key) + ": " + win32_category().message(static_cast<int>(rc)), rc);
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
