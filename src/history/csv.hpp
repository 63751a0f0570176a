// The CSV dialect of the waybill history file: ";" separated, fields quoted with '"'
// where needed, UTF-8 with an optional byte-order mark. A bounds-checked reader and the
// matching field writer.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace history {

// Reads ";"-separated CSV records one at a time from UTF-8 text. A byte-order mark is
// skipped at the start of every record, not only of the text: two files joined into
// one carry the second one's mark at the start of a line. A field may be quoted with
// '"' (inner quotes doubled; separators and line breaks inside are kept); records end
// at CR LF, LF or CR. An empty line is a record with no fields. The text must outlive
// the reader.
class CsvReader {
public:
    explicit CsvReader(std::string_view text);

    enum class Read {
        record,   // a record was read into the fields
        damaged,  // a record that cannot be parsed was skipped (no fields)
        end,      // nothing is left
    };

    // Reads the next record into `fields`, valid until the next call. A record with a
    // quoted field that is never closed, or with text after a closing quote, is damaged:
    // reading goes on at the line after the one where it began, so that one damaged
    // record never takes the records after it along. Every call that does not return
    // `end` consumes input. Does not throw (but std::bad_alloc).
    Read read(std::span<const std::string>& fields);

    // The same, for readers that stop at the first damaged record: returns false at the
    // end of the text and throws diag::RuntimeError for a damaged record.
    bool next(std::span<const std::string>& fields);

    // Goes back to the line after the one where the last record read began: for a
    // record the caller finds damaged although it parses (a quote that ran on over
    // several lines), so that the lines it swallowed are read as records again.
    void resume_after_first_line();

private:
    std::string& field_slot();
    // Moves to the start of the line after the one at `from`.
    void skip_line(std::size_t from);

    std::string_view text_;
    std::size_t pos_ = 0;
    std::vector<std::string> fields_;  // reused between records to keep their capacity
    std::size_t count_ = 0;
    std::size_t record_ = 0;  // 1-based number of the record being read, for messages
    std::size_t start_ = 0;   // where the last record read began
};

// Appends one field: a field with ";", a double quote or a line break, or one that
// starts with a byte-order mark (which the reader would skip at the start of a
// record), goes inside double quotes with the inner quotes doubled; any other field is
// written as it is.
void append_csv_field(std::string& out, std::string_view field);

}  // namespace history
