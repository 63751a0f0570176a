// The running program as every part above the product layer sees it: its identity,
// its folders, the help page and icon, its language and its error log. The entry
// builds it once at start-up and hands it down; tests build their own. Texts UTF-8.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "diag/error_log.hpp"
#include "job/result.hpp"
#include "platform/registry.hpp"
#include "product/product.hpp"

namespace product {

namespace fs = std::filesystem;

struct Context {
    std::string code;                     // the product code; names files only we write
    std::string title;                    // the product title: window titles, output names
    std::string exe_name;                 // the executable's name without a system suffix
    std::string version;                  // APP_VERSION
    std::string icon_name;                // the icon's file name ("mergalo.ico")
    bool bundled = false;                 // the built executable, not a development run
    bool system_wide = false;             // installed for all users: the program folder is not the user's
    fs::path program_dir;                 // the executable's folder (the source root in a development run)
    fs::path bundle_dir;                  // the resource folder: help/ and assets/
    std::optional<fs::path> library_dir;  // the shipped library folder, when there is one
    fs::path history_dir;                 // the history's folder; logs/ and Instruction.html lie beside it
    // The program's folder is not the user's to write, so history_dir is the user's own
    // folder, and no history was kept there yet: the result says where it goes, once.
    bool tell_history_place = false;
    fs::path data_dir;   // the per-user settings folder; made when settings are written
    fs::path temp_root;  // the user's temporary folder
    diag::ErrorLog log;  // history_dir / "logs", "<title> <version>"
    // The windows of one of several archives merged at once: the archive's place (from
    // 1) among their number, which the result window's title names (count 1: alone),
    // and how many steps the windows stand off the centre, so that no window of a merge
    // hides another's.
    int archive_index = 1;
    int archive_count = 1;
    int window_step = 0;
    // Where the right-click menu goes: a registry branch given by a test, else (null)
    // the system's place for it.
    platform::Registry* menu_registry = nullptr;

    // The language to show texts in now: the stored choice, else the system's. Reads
    // the settings afresh; never throws.
    std::string language() const;

    // The help page for language(): bundle_dir/help/Instruction_<lang>.html when it
    // exists and the language is not "ru", else bundle_dir/help/Instruction.html
    // (also when that is missing).
    fs::path help_file() const;

    // bundle_dir / "assets" / icon_name, whether or not the file exists.
    fs::path icon_file() const;

    // What a merge job needs: the history beside the executable, the settings folder,
    // the temporary folder and the title.
    job::JobEnvironment job_environment() const;
};

// The context of the program whose executable is `exe`, described by `product`. Reads
// the local application data folder and the temporary folder from the environment
// now; creates nothing, except the user's home folder of a program installed for all
// users or in a folder the user cannot write (and a file made and removed at once there
// to find that out). Throws ProfileIncomplete for a profile that lacks a
// required field.
Context make_context(const ProductProfile& product, const fs::path& exe);

}  // namespace product
