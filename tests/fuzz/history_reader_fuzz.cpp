// Fuzz target: the history file reader. Any bytes either read as records or fail with
// the reader's error; dates parse or are refused; nothing crashes or loops.
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
    try {
        history::CsvReader reader(text);
        std::span<const std::string> fields;
        std::size_t records = 0;
        while (reader.next(fields)) {
            if (++records > size + 1) __builtin_trap();  // every record consumes input
            for (const std::string& field : fields) (void)history::parse_history_datetime(field);
        }
    } catch (const diag::RuntimeError&) {
        // A malformed quoted field: the file counts as damaged.
    }
    return 0;
}
