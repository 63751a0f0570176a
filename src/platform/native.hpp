// The few things the C library and the system spell differently on Windows and here,
// so that no folder above the platform layer needs to ask which system it is on.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>

namespace platform {

// True on Windows, false here.
#ifdef _WIN32
inline constexpr bool WINDOWS = true;
#else
inline constexpr bool WINDOWS = false;
#endif

// The broken-down local time of `t` in the machine's time zone; none when the C
// library cannot convert it. Thread-safe; never throws.
std::optional<std::tm> local_time(std::time_t t) noexcept;

// The bytes a block from std::malloc takes on the heap, without the allocator's own
// header (malloc_usable_size here, _msize on Windows). `p` must not be null.
std::size_t heap_block_size(void* p) noexcept;

}  // namespace platform
