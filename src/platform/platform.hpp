// The platform layer: everything that differs between Windows and the POSIX/X11
// build. Paths are std::filesystem::path built from UTF-8; on Windows wide strings
// appear only inside the implementation.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

// A path as UTF-8 text, and back; the program keeps text in UTF-8 on every platform.
// On Windows these are the one place where paths cross between UTF-8 and UTF-16.
// Never throw except std::bad_alloc; on Windows invalid UTF-8 becomes U+FFFD.
std::string utf8(const fs::path& p);
fs::path path_from_utf8(std::string_view s);

// The program's command-line arguments as UTF-8, argv[0] included. Here that is argv
// itself; on Windows argv is in the ANSI code page, which cannot hold every Kazakh
// letter, so the arguments are taken from the wide command line instead.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Lets a program without a console window (the Windows GUI subsystem) print to the
// console it was started from: standard output and error that lead nowhere are joined
// to the parent's console, when there is one. Output already redirected to a file or
// pipe is left alone. The console shows UTF-8 while the program runs; its own code
// page is restored when the program ends. Does nothing here, and never throws.
void attach_parent_console();

// The error of the last failed system call: errno here, GetLastError() on Windows,
// whose message() is then the system's own text in the user's language.
std::error_code last_system_error();

// `ec` from a failed call on the file `p`, told apart on Windows: "access denied" also
// comes back when another program holds the file open and lets nobody change or read it
// (Excel with a CSV file), which the C library reports as a permission error too. Then
// the busy condition (a sharing violation) is returned, since the user must close that
// program rather than look at access rights. Otherwise, and on other systems, `ec`.
// Never throws.
std::error_code tell_busy_from_denied(const std::filesystem::path& p, std::error_code ec) noexcept;

// A form of an absolute path that the system's file calls accept at any length: on
// Windows a path too long for MAX_PATH gets the extended-length prefix ("\\?\C:\..."
// or "\\?\UNC\server\share\..."). Shorter and relative paths, and every path here,
// come back unchanged. Only for calls that open or create one file or folder: the C
// runtime's stat() refuses prefixed paths, so std::filesystem queries must not get them.
fs::path extended_length_path(const fs::path& p);

// One entry of a folder: its path and what it is, links not followed (on Windows every
// reparse point counts as a link).
struct FolderEntry {
    fs::path path;
    fs::file_type type = fs::file_type::unknown;  // regular, directory, symlink or other
};

// The entries of one folder, "." and ".." left out, in the order the system lists them.
// On Windows folders past MAX_PATH are listed too, which std::filesystem (through the C
// runtime's MAX_PATH buffers) cannot do. Throws std::filesystem::filesystem_error.
std::vector<FolderEntry> list_folder(const fs::path& folder);

// Creates a folder and every missing folder above it, at any path length. Throws
// std::filesystem::filesystem_error, also when something other than a folder is in the way.
void create_folders(const fs::path& folder);

// Creates one folder whose parent exists, at any path length; a folder already there
// is fine. Throws std::filesystem::filesystem_error when the parent is missing or
// something other than a folder (a link to one included) is in the way.
void create_folder(const fs::path& folder);

// Removes a folder with everything in it, at any path length, links removed rather than
// followed. Best effort: never throws; returns false when something could not be removed.
bool remove_tree(const fs::path& folder) noexcept;

// SHA-256 digest of `bytes` (OpenSSL's libcrypto).
// Throws std::runtime_error when the digest cannot be computed.
std::array<std::uint8_t, 32> sha256(std::string_view bytes);

// SHA-256 fed in pieces, for data too large to hold at once. Use: update() any number
// of times, then final() once. Move-only. Every member throws std::runtime_error when
// the digest cannot be computed (also update() or final() after final()).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);
    std::array<std::uint8_t, 32> final();

private:
    struct State;  // OpenSSL's digest context
    std::unique_ptr<State> state_;
};

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

// Whether this user may create files beside `target`: makes a hidden file there (as
// reserve_sibling names it) and removes it at once, since only trying tells what an
// access list, a read-only mount or an administrator's folder allows. Returns the
// creation's error, none when it worked. Never throws.
std::error_code try_create_beside(const fs::path& target) noexcept;

// True for an error that means "not yours to write": no rights, or a read-only medium.
bool is_no_write_access(const std::error_code& ec) noexcept;

// The user's Downloads folder when it exists as a folder, else none. On Windows the
// known folder FOLDERID_Downloads; here XDG_DOWNLOAD_DIR from the user's
// $XDG_CONFIG_HOME/user-dirs.dirs (as xdg-user-dir reads it), else (unset, or a folder
// that is not there) ~/Downloads.
std::optional<fs::path> downloads_dir();

// Renames `from` to `to` in one step, but never over an existing file or folder:
// then it fails with std::errc::file_exists. Throws std::filesystem::filesystem_error.
void rename_no_replace(const fs::path& from, const fs::path& to);

// Renames `from` over `to` in one step, replacing a file there; on Windows the move is
// written through to the disk before it returns. Throws std::filesystem::filesystem_error
// naming `to` (on Windows a file another program holds open is told as busy, see
// tell_busy_from_denied).
void replace_file(const fs::path& from, const fs::path& to);

// Makes the renames done in a folder durable: once it returns, a power cut keeps the
// folder's entries as they are now. Here the folder is opened and flushed (fsync; a file
// system that cannot flush a folder is taken as done). On Windows every rename of ours
// is written through already (MOVEFILE_WRITE_THROUGH), and this does nothing. An empty
// path is the current folder. Throws std::filesystem::filesystem_error.
void sync_folder(const fs::path& folder);

// The path a symbolic link leads to in the end (through a chain of links), also when
// nothing is there yet; any other path comes back unchanged. A file rewritten whole is
// written there, so that the link stays a link. Throws std::filesystem::filesystem_error
// for a loop of links.
fs::path link_target(const fs::path& p);

// True when `p` is an existing file the user marked as not to be changed: on Windows
// one with the read-only attribute; here one without any write permission bit, or one
// this process may not write. Never throws; false when `p` cannot be looked at.
bool read_only_file(const fs::path& p) noexcept;

// Puts a folder at the front of the program's library search path, once: a folder
// already on it is not added again. Returns true when it was added.
bool add_library_search_dir(const fs::path& dir);

// The folders added with add_library_search_dir, searched first, most recent first.
std::vector<fs::path> library_search_dirs();

// The user's interface language as a Windows language identifier (for example 0x0419
// Russian, 0x043F Kazakh, 0x0409 English), or no value when it cannot be told.
// Here it comes from the first set of LANGUAGE, LC_ALL, LC_MESSAGES, LANG.
std::optional<std::uint16_t> ui_language_id();

// The OEM code page of the user's system: the code page in which archivers of that
// system store file names they do not mark as UTF-8 (Windows' own compressed folders
// among them). On Windows GetOEMCP(); here 866 when the user's language
// (ui_language_id) is Russian or Kazakh, as on their Windows systems, else 437.
std::uint16_t oem_code_page();

// Opens a file, folder or URL with the user's default program ("open" verb). Returns
// false when no program could be started for it. On Windows ShellExecute answers at
// once. Here xdg-open's exit status is awaited for at most OPENER_ANSWER_WAIT: a
// failure status is false; an opener still running then (it may stay while the
// program it started runs) counts as success and is waited for in the background, so
// it leaves no zombie.
bool shell_open(const std::string& target);

#ifndef _WIN32
inline constexpr std::chrono::milliseconds OPENER_ANSWER_WAIT{3000};
#endif

#ifndef _WIN32
// The user's XDG base folders: $XDG_DATA_HOME and $XDG_CONFIG_HOME when set to an
// absolute path, else ~/.local/share and ~/.config. Create nothing.
fs::path xdg_data_home();
fs::path xdg_config_home();

// The folder that the user-dirs.dirs text `text` gives for `key` (XDG_DOWNLOAD_DIR):
// the last line KEY="$HOME/..." or KEY="/..." (a leading $HOME is `home`; \\ and \"
// unescaped), none when the key is missing, malformed or names the home folder itself
// (what xdg-user-dirs writes for a folder the user switched off).
std::optional<fs::path> xdg_user_dir(std::string_view text, std::string_view key, const fs::path& home);
#endif

}  // namespace platform
