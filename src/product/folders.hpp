// The main program's folders and its fixed identity.
#pragma once

#include <filesystem>
#include <string_view>

#include "app/job.hpp"

namespace app {

// Name of the per-user data folder; fixed, not read from the profile.
inline constexpr std::string_view APP_ID = "Tarvo PDF Mergalo";

// The app folder: the home folder (beside the executable). Creates nothing.
std::filesystem::path app_dir();

// local application data folder / APP_ID, created with its parents on every call.
// Throws std::filesystem::filesystem_error when it cannot be created.
std::filesystem::path data_dir();

// app folder / "logs", created with its parents on every call. Throws like data_dir().
std::filesystem::path logs_dir();

// What a merge job needs from the running program: the history beside the
// executable, the settings in the per-user data folder, the user's temporary
// folder and the product title. Needs a bound profile.
JobEnvironment job_environment();

}  // namespace app
