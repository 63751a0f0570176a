// Dates and times of the waybill history: local wall-clock times without a zone, read
// in the forms history files carry and written in one form. Texts are UTF-8.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace history {

// Local date and time, no time zone, resolution one microsecond.
using LocalTime = std::chrono::local_time<std::chrono::microseconds>;

// The current local date and time. Does not throw.
LocalTime local_now();

// Reads a date and time from the history file: after trimming white space, one of
// "%d.%m.%Y %H:%M:%S", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M:%S.%f",
// else an ISO 8601 date (midnight) or date and time (fractions of a second allowed;
// "Z" or a numeric UTC offset converts the time to the computer's local time). Returns
// nullopt for an empty or unreadable value. Does not throw.
std::optional<LocalTime> parse_history_datetime(std::string_view value);

// Writes a time as "%d.%m.%Y %H:%M:%S" (fractions of a second dropped). Does not throw.
std::string format_history_datetime(LocalTime t);

namespace detail {

// Local time of a UTC instant, by the computer's time-zone rules (daylight saving
// included); nullopt when the system cannot convert it. Does not throw.
std::optional<LocalTime> utc_to_local(std::chrono::sys_time<std::chrono::microseconds> utc);

}  // namespace detail

}  // namespace history
