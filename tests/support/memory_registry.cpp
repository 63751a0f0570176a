#include "support/memory_registry.hpp"

namespace fixtures {

namespace {

constexpr long FILE_NOT_FOUND = 2;  // the Win32 codes the system's branch would give
constexpr long ACCESS_DENIED = 5;

std::vector<std::string> split(std::string_view key) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= key.size()) {
        std::size_t end = key.find('\\', start);
        if (end == std::string_view::npos) end = key.size();
        parts.emplace_back(key.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

void MemoryRegistry::set_string(std::string_view key, std::string_view name, std::string_view data) {
    if (writes.size() >= fail_from_write)
        throw platform::RegistryError("RegSetValueExW " + std::string(key) + ": access denied", ACCESS_DENIED);
    Key* k = &root_;
    for (const auto& part : split(key)) k = &k->children[part];
    k->values[std::string(name)] = std::string(data);
    writes.push_back(std::string(key) + " | " + (name.empty() ? "(default)" : std::string(name)) + " = " +
                     std::string(data));
}

const MemoryRegistry::Key* MemoryRegistry::find(std::string_view key) const {
    const Key* k = &root_;
    for (const auto& part : split(key)) {
        auto it = k->children.find(part);
        if (it == k->children.end()) return nullptr;
        k = &it->second;
    }
    return k;
}

std::vector<std::string> MemoryRegistry::subkeys(std::string_view key) const {
    std::vector<std::string> names;
    if (const Key* k = find(key))
        for (const auto& [name, child] : k->children) names.push_back(name);
    return names;
}

std::optional<std::string> MemoryRegistry::first_subkey(std::string_view key) {
    ++enumerations;
    const Key* k = find(key);
    if (!k) throw platform::RegistryError("RegOpenKeyExW " + std::string(key) + ": not found", FILE_NOT_FOUND);
    if (k->children.empty()) return std::nullopt;
    return k->children.begin()->first;
}

void MemoryRegistry::delete_key(std::string_view key) {
    auto parts = split(key);
    const std::string leaf = parts.back();
    parts.pop_back();
    Key* parent = &root_;
    for (const auto& part : parts) {
        auto it = parent->children.find(part);
        if (it == parent->children.end())
            throw platform::RegistryError("RegDeleteKeyW " + std::string(key) + ": not found", FILE_NOT_FOUND);
        parent = &it->second;
    }
    auto it = parent->children.find(leaf);
    if (it == parent->children.end())
        throw platform::RegistryError("RegDeleteKeyW " + std::string(key) + ": not found", FILE_NOT_FOUND);
    if (!it->second.children.empty() || undeletable.count(std::string(key)))
        throw platform::RegistryError("RegDeleteKeyW " + std::string(key) + ": access denied", ACCESS_DENIED);
    parent->children.erase(it);
}

}  // namespace fixtures
