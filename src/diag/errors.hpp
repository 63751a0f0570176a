// The program's failures. Each carries the message text the user sees and the place
// in the source where it was raised, which the error log prints under "Traceback:".
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace diag {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message,
                   std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// Something the user named does not exist (an archive path, a file).
class FileNotFound : public Error {
public:
    using Error::Error;
};

// A value the user or a caller gave is not acceptable (a wrong extension, an unknown code).
class InvalidValue : public Error {
public:
    using Error::Error;
};

// Any other failure at run time: a damaged archive, a PDF that cannot be read, a
// file that cannot be written.
class RuntimeError : public Error {
public:
    using Error::Error;
};

}  // namespace diag
