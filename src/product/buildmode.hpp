// Build mode and the program's folders. A development run is an executable that lies
// inside the build tree it was built in; its folder is then the profile's ROOT and
// there is no library folder. Every other copy (the shipped folder, a test's
// temporary folder) is the built executable. Each function takes the product's
// (checked) profile and the executable's path, and computes its answer afresh.
#pragma once

#include <filesystem>
#include <optional>

#include "product/product.hpp"

namespace product::buildmode {

namespace fs = std::filesystem;

// True when `exe` runs as the built executable (not from its build tree).
bool is_bundled(const fs::path& exe);

// Folder of the executable; the profile's root in a development run.
fs::path program_dir(const ProductProfile& product, const fs::path& exe);

// The executable's folder / LIB_FOLDER when that is a folder (never in a development run).
std::optional<fs::path> library_dir(const ProductProfile& product, const fs::path& exe);

// The resource folder: the library folder when there is one, else program_dir().
fs::path bundle_dir(const ProductProfile& product, const fs::path& exe);

// The file in the library folder that marks a program installed for all users (the
// Debian package): its folder belongs to the system and is not the user's to write.
inline constexpr const char* SYSTEM_INSTALL_MARKER = "system-install";

// True when the built executable's library folder holds SYSTEM_INSTALL_MARKER.
bool installed_system_wide(const ProductProfile& product, const fs::path& exe);

// The program's home folder, where the history and the logs are kept, and whether it
// moved away from the program's folder because that is not the user's to write.
struct Home {
    fs::path dir;
    bool moved = false;  // a portable folder this user cannot write: dir is the user's own
};

// The program's home folder: installed system-wide, the local application data folder /
// the product code (created when missing, so the history and the logs can be written);
// with a USER_FOLDER, a folder under the local application data folder; otherwise the
// parent of bundle_dir() when that is the library folder, else bundle_dir() itself,
// unless the built executable's user may not create files there (a portable folder an
// administrator unpacked into a system folder): then the same per-user folder as a
// system-wide install (created), and `moved`. Otherwise creates nothing.
Home locate_home(const ProductProfile& product, const fs::path& exe);

// locate_home().dir
fs::path home_dir(const ProductProfile& product, const fs::path& exe);

// Puts `library` (when given) at the front of the library search path, once.
void add_library_folder_to_path(const std::optional<fs::path>& library);

// Sets TCL_LIBRARY and TK_LIBRARY to the library folder's "tcl" and "tk" sub-folders,
// each only when that sub-folder exists. Nothing without a library folder.
void point_tcl_and_tk_to_library(const std::optional<fs::path>& library);

}  // namespace product::buildmode
