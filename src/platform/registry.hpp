// The current user's registry branch (HKEY_CURRENT_USER on Windows), reduced to the
// four things the right-click menu needs. Key paths are UTF-8, relative to the branch,
// with a backslash between keys ("Software\Classes\CompressedFolder\shell"); values are
// REG_SZ strings. The Windows implementation converts to wide strings at the call.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A registry call failed. `code` is the system's error code (a Win32 error on Windows).
class RegistryError : public std::runtime_error {
public:
    RegistryError(const std::string& message, long code) : std::runtime_error(message), code_(code) {}
    long code() const noexcept { return code_; }

private:
    long code_;
};

class Registry {
public:
    virtual ~Registry() = default;

    // Creates the key and every missing key above it, or opens it when it exists, and
    // sets its value `name` to `data` as REG_SZ; an empty `name` is the key's unnamed
    // (default) value. Throws RegistryError (access denied, registry failure).
    virtual void set_string(std::string_view key, std::string_view name, std::string_view data) = 0;

    // Opens the key for reading and writing and returns the name of its sub-key at
    // index 0, or no value when it has none. Throws RegistryError when the key cannot
    // be opened (above all when it does not exist).
    virtual std::optional<std::string> first_subkey(std::string_view key) = 0;

    // Deletes a key that has no sub-keys. Throws RegistryError (missing key, a key that
    // still has sub-keys, access denied).
    virtual void delete_key(std::string_view key) = 0;
};

// The current user's branch, or nullptr on a system without a registry (here).
std::unique_ptr<Registry> current_user_registry();

}  // namespace platform
