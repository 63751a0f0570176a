// Fuzz target: archive member names. Whatever the bytes, the unpack path stays a
// relative path below the scratch folder, with none of the characters Windows refuses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "archive/intake.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const std::string path = archive::detail::sanitize_member_path(name);
    if (path.empty()) return 0;
    if (path.front() == '/' || path.back() == '/') __builtin_trap();
    if (path.find_first_of(":<>|\"?*\\") != std::string::npos) __builtin_trap();
    for (unsigned char c : path)
        if (c < 0x20) __builtin_trap();
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = std::string_view(path).substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.back() == '.' || part.back() == ' ') __builtin_trap();
        start = end + 1;
    }
    return 0;
}
