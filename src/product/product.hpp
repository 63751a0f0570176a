// The product: its profile (the facts set at build time) and its fixed identity.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace product {

// A product profile. A field without a value is one the profile does not define;
// an empty text still counts as defined.
struct ProductProfile {
    std::optional<std::string> CODE;
    std::optional<std::string> TITLE;
    std::optional<std::string> EXE_NAME;
    std::optional<std::string> APP_VERSION;
    std::optional<std::string> LIB_FOLDER;
    std::optional<std::filesystem::path> ROOT;  // the product root, used in a development run
    std::optional<std::string> USER_FOLDER;
    std::optional<std::string> ICON_NAME;
};

// Name of the per-user data folder; fixed, not read from the profile.
inline constexpr std::string_view APP_ID = "Tarvo PDF Mergalo";

// The support chat, opened when the help page is missing and named in the error dialog.
inline constexpr std::string_view TELEGRAM_URL = "https://t.me/tarvo_support";

// This product's profile. ROOT is the source tree the program was built from.
ProductProfile profile();

}  // namespace product
