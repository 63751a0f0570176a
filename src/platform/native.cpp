#include "platform/native.hpp"

#include <cstdlib>
#ifdef _WIN32
#include <mimalloc.h>
#else
#include <malloc.h>  // malloc_usable_size
#endif

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

#ifdef _WIN32

void* heap_allocate(std::size_t size) noexcept { return mi_malloc(size); }
void* heap_reallocate(void* p, std::size_t size) noexcept { return mi_realloc(p, size); }
void heap_release(void* p) noexcept { mi_free(p); }
std::size_t heap_block_size(void* p) noexcept { return mi_usable_size(p); }

#else

void* heap_allocate(std::size_t size) noexcept { return std::malloc(size); }
void* heap_reallocate(void* p, std::size_t size) noexcept { return std::realloc(p, size); }
void heap_release(void* p) noexcept { std::free(p); }
std::size_t heap_block_size(void* p) noexcept { return malloc_usable_size(p); }

#endif

}  // namespace platform
