// Binding of the product profile. `bind` runs once at start-up; from then on every
// accessor answers from the bound profile. All texts are UTF-8.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/product.hpp"
#include "diag/errors.hpp"

namespace app::profile {

// Required fields, in the order a missing-fields message lists them.
inline constexpr std::array<std::string_view, 6> REQUIRED_FIELDS = {
    "CODE", "TITLE", "APP_VERSION", "LIB_FOLDER", "ROOT", "ICON_NAME"};

class ProfileIncomplete : public diag::Error {
public:
    using diag::Error::Error;
};

class ProfileNotBound : public diag::Error {
public:
    using diag::Error::Error;
};

// Checks that every required field is defined, then stores the profile (replacing an
// earlier one) and copies APP_VERSION and LIB_FOLDER into the build-mode settings.
// Throws ProfileIncomplete naming the missing fields; nothing is stored then.
void bind(const ProductProfile& product);

bool is_bound();

// Accessors; each throws ProfileNotBound before `bind`.
std::string code();
std::string title();
std::string exe_name();  // EXE_NAME, or TITLE when EXE_NAME is absent or empty
std::string app_version();
std::string lib_folder();
std::filesystem::path root();
std::string icon_name();
std::optional<std::string> user_folder();

}  // namespace app::profile
