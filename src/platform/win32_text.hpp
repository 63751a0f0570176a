// The Windows half of the platform layer's own conversions between the program's UTF-8
// and the system's UTF-16, shared by its units. Windows only.
#pragma once
#ifdef _WIN32
#include <string>
#include <string_view>

namespace platform::win32 {

// Invalid UTF-8 becomes U+FFFD rather than failing: a damaged name is still shown.
std::wstring wide(std::string_view s);
std::string narrow(std::wstring_view w);

}  // namespace platform::win32
#endif
