// The platform layer: everything that differs between Windows and the POSIX/X11
// build. Paths are std::filesystem::path built from UTF-8; on Windows wide strings
// appear only inside the implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

// A path as UTF-8 text, and back; the program keeps text in UTF-8 on every platform.
inline std::string utf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}
inline fs::path path_from_utf8(std::string_view s) { return fs::path(std::u8string(s.begin(), s.end())); }

// Lengths of names and paths in the system's own units: bytes here, UTF-16 code units
// on Windows. The longest file or folder name every supported file system takes, and
// the longest whole path the file functions take (PATH_MAX here, MAX_PATH there).
inline constexpr std::size_t MAX_NAME_LENGTH = 255;
#ifdef _WIN32
inline constexpr std::size_t MAX_PATH_LENGTH = 259;
#else
inline constexpr std::size_t MAX_PATH_LENGTH = 4095;
#endif

// Length of a path or name in those units. Does not throw.
inline std::size_t native_length(const fs::path& p) noexcept { return p.native().size(); }

// Absolute path of the running executable, symbolic links and relative parts
// resolved. Throws std::runtime_error when the system cannot tell.
fs::path executable_path();

// The command line as UTF-8 texts, argument 0 first. Here argv as the system gave it;
// on Windows the wide command line split by the system's rules (argv is in the ANSI
// code page there and would lose Cyrillic names).
std::vector<std::string> command_line_arguments(int argc, char** argv);

// File name of the executable for a base name: "Mergalo.exe" on Windows, "Mergalo" here.
std::string executable_file_name(const std::string& base_name);

// Value of an environment variable (UTF-8), or no value when it is not set.
std::optional<std::string> get_env(const std::string& name);

// Sets an environment variable for this process and the processes it starts.
void set_env(const std::string& name, const std::string& value);

// The user's home folder (USERPROFILE on Windows, HOME here). Does not throw; an
// unknown home gives the current folder.
fs::path user_home();

// The local application data folder: LOCALAPPDATA when set and not blank; else on
// Windows home\AppData\Local, here $XDG_DATA_HOME or ~/.local/share. Creates nothing.
fs::path local_app_data_dir();

// The user's temporary folder (TMPDIR here, GetTempPath on Windows).
fs::path temp_dir();

// Creates a new folder "<prefix><random>" inside `parent`, readable and writable by
// the user only, and returns its path. Throws std::filesystem::filesystem_error.
fs::path make_private_dir(const fs::path& parent, const std::string& prefix);

// Creates a new, empty file with a unique name beside `target` (a hidden name that
// starts with target's file name and ends with `suffix`) and returns its path; a
// place to write a file that is later moved onto `target`. Throws
// std::filesystem::filesystem_error.
fs::path reserve_sibling(const fs::path& target, const std::string& suffix);

// Renames `from` to `to` in one step, but never over an existing file or folder:
// then it fails with std::errc::file_exists. Throws std::filesystem::filesystem_error.
void rename_no_replace(const fs::path& from, const fs::path& to);

// Puts a folder at the front of the program's library search path, once: a folder
// already on it is not added again. Returns true when it was added.
bool add_library_search_dir(const fs::path& dir);

// The folders added with add_library_search_dir, searched first, most recent first.
std::vector<fs::path> library_search_dirs();

// The user's interface language as a Windows language identifier (for example 0x0419
// Russian, 0x043F Kazakh, 0x0409 English), or no value when it cannot be told.
// Here it comes from the first set of LANGUAGE, LC_ALL, LC_MESSAGES, LANG.
std::optional<std::uint16_t> ui_language_id();

// Opens a file, folder or URL with the user's default program ("open" verb). Does
// not wait and reports no failure: returns false when it could not be started.
bool shell_open(const std::string& target);

#ifndef _WIN32
// The user's XDG base folders: $XDG_DATA_HOME and $XDG_CONFIG_HOME when set to an
// absolute path, else ~/.local/share and ~/.config. Create nothing.
fs::path xdg_data_home();
fs::path xdg_config_home();
#endif

}  // namespace platform
