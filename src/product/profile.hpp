// The product profile's rules: which fields it must define, and the executable's name.
// All texts are UTF-8.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "diag/errors.hpp"
#include "product/product.hpp"

namespace product {

// Required fields, in the order a missing-fields message lists them.
inline constexpr std::array<std::string_view, 6> REQUIRED_FIELDS = {"CODE",       "TITLE", "APP_VERSION",
                                                                    "LIB_FOLDER", "ROOT",  "ICON_NAME"};

class ProfileIncomplete : public diag::Error {
public:
    using diag::Error::Error;
};

// Checks that every required field of `product` is defined. Throws ProfileIncomplete
// naming the missing fields.
void check_profile(const ProductProfile& product);

// EXE_NAME, or TITLE when EXE_NAME is absent or empty. Needs a checked profile.
std::string exe_name(const ProductProfile& product);

}  // namespace product
