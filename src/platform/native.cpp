#include "platform/native.hpp"

#include <malloc.h>  // malloc_usable_size here, _msize on Windows

namespace platform {

std::optional<std::tm> local_time(std::time_t t) noexcept {
    std::tm tm{};
#ifdef _WIN32
    if (localtime_s(&tm, &t) != 0) return std::nullopt;
#else
    if (localtime_r(&t, &tm) == nullptr) return std::nullopt;
#endif
    return tm;
}

std::size_t heap_block_size(void* p) noexcept {
#ifdef _WIN32
    return _msize(p);
#else
    return malloc_usable_size(p);
#endif
}

}  // namespace platform
