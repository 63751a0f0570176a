// The program's fixed identity and its per-user data folder.
#pragma once

#include <filesystem>
#include <string_view>

namespace app {

// Name of the per-user data folder; fixed, not read from the profile.
inline constexpr std::string_view APP_ID = "Tarvo PDF Mergalo";

// local application data folder / APP_ID, created with its parents on every call.
// Throws std::filesystem::filesystem_error when it cannot be created.
std::filesystem::path data_dir();

}  // namespace app
