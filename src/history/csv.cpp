#include "history/csv.hpp"

#include <algorithm>

#include "diag/errors.hpp"

namespace history {

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";

}  // namespace

void append_csv_field(std::string& out, std::string_view field) {
    if (!field.starts_with(BOM) && std::none_of(field.begin(), field.end(), [](char c) {
            return c == ';' || c == '"' || c == '\r' || c == '\n';
        })) {
        out += field;
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

CsvReader::CsvReader(std::string_view text) : text_(text) {}

std::string& CsvReader::field_slot() {
    if (count_ == fields_.size())
        fields_.emplace_back();
    else
        fields_[count_].clear();
    return fields_[count_++];
}

void CsvReader::skip_line(std::size_t from) {
    const std::size_t n = text_.size();
    pos_ = std::min(text_.find_first_of("\r\n", from), n);
    if (pos_ < n && text_[pos_] == '\r') ++pos_;
    if (pos_ < n && text_[pos_] == '\n') ++pos_;
}

CsvReader::Read CsvReader::read(std::span<const std::string>& fields) {
    const std::size_t n = text_.size();
    fields = {};
    if (pos_ < n && text_.substr(pos_).starts_with(BOM)) pos_ += BOM.size();
    if (pos_ >= n) return Read::end;
    ++record_;
    count_ = 0;
    const std::size_t start = start_ = pos_;
    auto at = [&](char c) { return pos_ < n && text_[pos_] == c; };

    if (!at('\r') && !at('\n')) {
        for (;;) {
            std::string& field = field_slot();
            if (at('"')) {
                ++pos_;
                for (;;) {
                    const std::size_t quote = text_.find('"', pos_);
                    if (quote == std::string_view::npos) {
                        skip_line(start);  // a quoted field that is never closed
                        return Read::damaged;
                    }
                    field.append(text_.substr(pos_, quote - pos_));
                    pos_ = quote + 1;
                    if (!at('"')) break;
                    field += '"';  // a doubled quote stands for one
                    ++pos_;
                }
                if (pos_ < n && !at(';') && !at('\r') && !at('\n')) {
                    skip_line(start);  // text after a closing quote
                    return Read::damaged;
                }
            } else {
                std::size_t end = pos_;
                while (end < n && text_[end] != ';' && text_[end] != '\r' && text_[end] != '\n') ++end;
                field.assign(text_.substr(pos_, end - pos_));
                pos_ = end;
            }
            if (!at(';')) break;
            ++pos_;
        }
    }
    // The record ends at CR LF, LF, CR or the end of the text.
    if (at('\r')) ++pos_;
    if (at('\n')) ++pos_;
    fields = std::span<const std::string>(fields_.data(), count_);
    return Read::record;
}

void CsvReader::resume_after_first_line() { skip_line(start_); }

bool CsvReader::next(std::span<const std::string>& fields) {
    switch (read(fields)) {
        case Read::record:
            return true;
        case Read::end:
            return false;
        case Read::damaged:
            break;
    }
    throw diag::RuntimeError("history file record " + std::to_string(record_) +
                             ": a quoted field is not closed, or text follows its closing quote");
}

}  // namespace history
