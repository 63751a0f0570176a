// Environment variables changed by a test and put back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace fixtures {

// Remembers a variable's value, lets the test set or unset it, and restores the old
// value (or its absence) when the scope ends.
class EnvVar {
public:
    explicit EnvVar(std::string name) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
    }
    EnvVar(std::string name, const char* value) : EnvVar(std::move(name)) { set(value); }
    ~EnvVar() { set(old_ ? old_->c_str() : nullptr); }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

    // Sets the variable; a null value unsets it.
    void set(const char* value) const {
        if (value)
            ::setenv(name_.c_str(), value, 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace fixtures
