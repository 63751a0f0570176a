// The product profile: the fixed facts about the product, set at build time.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace app {

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

namespace product {

// This product's profile. ROOT is the source tree the program was built from.
ProductProfile profile();

}  // namespace product
}  // namespace app
