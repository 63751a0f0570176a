// Command-line arguments of the small drivers in tools/ and bench/: paths and numbers
// read the same way everywhere. Header-only.
#pragma once

#include <charconv>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "diag/errors.hpp"
#include "platform/platform.hpp"

namespace tools {

// A path given on the command line, as UTF-8 (on Windows take the arguments from
// platform::command_line_arguments, not from argv, which is in the ANSI code page).
inline std::filesystem::path path_arg(std::string_view arg) { return platform::path_from_utf8(arg); }

// The whole argument as a number of type T; throws diag::InvalidValue naming `what`
// (the option or argument) when it is not one, or has anything after the digits.
template <class T>
T number_arg(std::string_view what, std::string_view arg) {
    T value{};
    const auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), value);
    if (ec != std::errc() || end != arg.data() + arg.size()) {
        std::string message(what);
        message += " needs a number, got \"";
        message += arg;
        message += '"';
        throw diag::InvalidValue(message);
    }
    return value;
}

}  // namespace tools
