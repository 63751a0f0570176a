// Fuzz target: the history file's load path. Any bytes read as records or as damaged
// records that are skipped; dates parse or are refused; nothing crashes or loops. What
// is read and written back reads the same: every entry with its name, its time (to the
// second the file keeps), its layout and its extra fields, and nothing counted as
// damaged; and the text written back is written again unchanged.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "history/csv.hpp"
#include "history/store.hpp"

namespace {

bool same_entry(const history::Record& a, const history::Record& b) {
    using std::chrono::floor;
    using std::chrono::seconds;
    return a.name == b.name && floor<seconds>(a.processed_at) == floor<seconds>(b.processed_at) && a.nup == b.nup &&
           a.extra == b.extra;
}

}  // namespace

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

    history::History read;
    const int skipped = history::detail::merge_history_text(text, read);
    if (skipped < 0 || static_cast<std::size_t>(skipped) > size) __builtin_trap();

    const std::string written = history::detail::history_text(read);
    history::History back;
    if (history::detail::merge_history_text(written, back) != 0) __builtin_trap();
    if (back.size() != read.size()) __builtin_trap();
    for (const auto& [key, record] : read) {
        const auto it = back.find(key);
        if (it == back.end() || !same_entry(record, it->second)) __builtin_trap();
    }
    if (history::detail::history_text(back) != written) __builtin_trap();
    return 0;
}
