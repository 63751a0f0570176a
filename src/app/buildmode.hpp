// Build mode and the program's folders. A development run is an executable that lies
// inside the build tree it was built in; its folder is then the profile's ROOT and
// there is no library folder. Every other copy (the shipped folder, a test's
// temporary folder) is the built executable. Folders are computed afresh each call.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace app::buildmode {

namespace fs = std::filesystem;

// Build-mode settings; `profile::bind` overwrites both from the bound profile.
inline std::string APP_VERSION = "0.00";
inline std::string LIB_FOLDER = "lib";

// True when the program runs as the built executable (not from its build tree).
bool is_bundled();

// Folder of the running executable, links resolved; the profile's root in a development run.
fs::path program_dir();

// program_dir() / LIB_FOLDER when that is a folder (never in a development run).
std::optional<fs::path> library_dir();

// The resource folder: the library folder when there is one, else program_dir().
fs::path bundle_dir();

// The file in the library folder that marks a program installed for all users (the
// Debian package): its folder belongs to the system and is not the user's to write.
inline constexpr const char* SYSTEM_INSTALL_MARKER = "system-install";

// True when the built executable's library folder holds SYSTEM_INSTALL_MARKER.
bool installed_system_wide();

// The program's home folder: installed system-wide, the local application data folder /
// the product code (created when missing, so the history and the logs can be written);
// with a USER_FOLDER, a folder under the local application data folder; otherwise the
// parent of bundle_dir() when that is the library folder, else bundle_dir() itself.
// Otherwise creates nothing.
fs::path home_dir();

// Puts the library folder at the front of the library search path, once; returns it.
std::optional<fs::path> add_library_folder_to_path();

// Sets TCL_LIBRARY and TK_LIBRARY to the library folder's "tcl" and "tk" sub-folders,
// each only when that sub-folder exists; returns the library folder.
std::optional<fs::path> point_tcl_and_tk_to_library();

namespace detail {
// Makes the folder rules act as if the executable were at `exe` (empty: the real
// one). Lets tests see the rules of a shipped program from inside the build tree.
void pretend_executable(const fs::path& exe);
}  // namespace detail

}  // namespace app::buildmode
