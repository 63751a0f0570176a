// Fuzz target: the history file reader. Any bytes read as records or as damaged
// records that are skipped; dates parse or are refused; nothing crashes or loops.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "diag/errors.hpp"
#include "history/csv.hpp"
#include "history/store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    history::CsvReader reader(text);
    std::span<const std::string> fields;
    std::size_t records = 0;
    // Damaged records are skipped, never thrown: every record, good or damaged,
    // consumes input, so reading ends.
    while (reader.read(fields) != history::CsvReader::Read::end) {
        if (++records > size + 1) __builtin_trap();
        for (const std::string& field : fields) (void)history::parse_history_datetime(field);
    }
    history::History history;
    const int skipped = history::detail::merge_history_text(text, history);
    if (skipped < 0 || static_cast<std::size_t>(skipped) > size) __builtin_trap();
    return 0;
}
