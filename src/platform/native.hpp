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

// A heap for the PDF library's many small blocks: the C library's malloc here; on
// Windows mimalloc, because the system heap serves them several times slower (and
// copies a growing block byte by byte under Wine). A block from heap_allocate or
// heap_reallocate goes back through heap_reallocate or heap_release only, never
// through std::free. Null on failure, as malloc; releasing null does nothing; never
// throws.
void* heap_allocate(std::size_t size) noexcept;
void* heap_reallocate(void* p, std::size_t size) noexcept;
void heap_release(void* p) noexcept;

// The bytes a block from heap_allocate takes, without the allocator's own header.
// `p` must not be null.
std::size_t heap_block_size(void* p) noexcept;

}  // namespace platform
