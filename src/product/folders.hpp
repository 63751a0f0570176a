// The program's fixed identity.
#pragma once

#include <string_view>

namespace app {

// Name of the per-user data folder; fixed, not read from the profile.
inline constexpr std::string_view APP_ID = "Tarvo PDF Mergalo";

}  // namespace app
