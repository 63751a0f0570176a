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

// Reads ";"-separated CSV records one at a time from UTF-8 text (a leading byte-order
// mark is skipped). A field may be quoted with '"' (inner quotes doubled; separators
// and line breaks inside are kept); records end at CR LF, LF or CR. An empty line is a
// record with no fields. The text must outlive the reader.
class CsvReader {
public:
    explicit CsvReader(std::string_view text);

    // Reads the next record; returns false at the end of the text. The fields stay
    // valid until the next call. Throws diag::RuntimeError for an unterminated quoted
    // field or text after a closing quote.
    bool next(std::span<const std::string>& fields);

private:
    std::string& field_slot();

    std::string_view text_;
    std::size_t pos_ = 0;
    std::vector<std::string> fields_;  // reused between records to keep their capacity
    std::size_t count_ = 0;
    std::size_t record_ = 0;  // 1-based number of the record being read, for messages
};

// Appends one field: a field with ";", a double quote or a line break goes inside
// double quotes with the inner quotes doubled; any other field is written as it is.
void append_csv_field(std::string& out, std::string_view field);

}  // namespace history
