// A registry branch in memory, behind the same interface as the system's, for tests of
// the menu's registry tree. Key names compare as written (the program writes ASCII
// names in one spelling); sub-keys enumerate in name order, as the system's do.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.hpp"

namespace fixtures {

class MemoryRegistry : public platform::Registry {
public:
    struct Key {
        std::map<std::string, std::string> values;  // "" is the default value
        std::map<std::string, Key> children;
    };

    void set_string(std::string_view key, std::string_view name, std::string_view data) override;
    std::optional<std::string> first_subkey(std::string_view key) override;
    void delete_key(std::string_view key) override;

    // The key at a path, or nullptr.
    const Key* find(std::string_view key) const;
    // Names of the key's sub-keys in order; empty for a missing key.
    std::vector<std::string> subkeys(std::string_view key) const;

    // Every successful set_string as "<key> | <name> = <data>", in order ("(default)"
    // for the unnamed value).
    std::vector<std::string> writes;
    // Keys (full paths) that refuse deletion, as a key the user may not delete does.
    std::set<std::string> undeletable;
    // Makes set_string fail with access denied from this write on (0-based count).
    std::size_t fail_from_write = static_cast<std::size_t>(-1);
    int enumerations = 0;

private:
    Key root_;
};

}  // namespace fixtures
