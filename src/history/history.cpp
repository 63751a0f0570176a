#include "history/history.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <limits>
#include <system_error>

#include "diag/errors.hpp"
#include "i18n/unicode.hpp"
#include "pdf/intake.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

namespace history {

namespace fs = std::filesystem;
namespace chr = std::chrono;

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";
constexpr std::string_view HEADER = "Имя PDF;Дата и время обработки;Признак;Раскладка\r\n";
// Case-folded first fields that mark a header row, in any of the forms files carry.
constexpr std::array<std::string_view, 3> HEADER_NAMES = {"имя pdf", "file_name", "filename"};

using platform::utf8;

using i18n::trim_space;

// Full case folding; plain ASCII (most waybill names) folds without a trip through ICU.
std::string fold(std::string_view s) {
    if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string out(s);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    return i18n::fold_case(s);
}

// True for the first field of a header row. Case folding never shortens a text by code
// points, so a name longer than the longest header word is no header and needs no folding.
bool is_header_name(std::string_view name) {
    const auto code_points = std::count_if(name.begin(), name.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    if (code_points > 9) return false;  // "file_name"
    return std::find(HEADER_NAMES.begin(), HEADER_NAMES.end(), fold(name)) != HEADER_NAMES.end();
}

// Last component of a file name ("/" and "\" both separate; trailing separators ignored)
// with blanks at both ends removed.
std::string base_name(std::string_view name) {
    name = trim_space(name);
    while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.remove_suffix(1);
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    return std::string(trim_space(name));
}

std::string sha256_hex(std::string_view bytes) {
    std::array<std::uint8_t, 32> md{};
    try {
        md = platform::sha256(bytes);
    } catch (const std::runtime_error&) {
        throw diag::RuntimeError("SHA-256 could not be computed");
    }
    constexpr std::string_view hex = "0123456789abcdef";
    std::string out;
    out.reserve(2 * md.size());
    for (const std::uint8_t byte : md) {
        out += hex[byte >> 4];
        out += hex[byte & 0x0F];
    }
    return out;
}

// Whole content of a file, read in one go.
std::string read_file(const fs::path& p) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(p, ec);
    if (ec == std::errc::no_such_file_or_directory) throw diag::FileNotFound("file not found: " + utf8(p));
    if (ec) throw diag::RuntimeError("cannot read file " + utf8(p) + ": " + ec.message());
    if (size > static_cast<std::uintmax_t>(std::numeric_limits<std::streamsize>::max()))
        throw diag::RuntimeError("file too large: " + utf8(p));
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::ifstream in(p, std::ios::binary);
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size)))
        throw diag::RuntimeError("cannot read file " + utf8(p));
    return bytes;
}

// --- dates ---------------------------------------------------------------------------

struct DateTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;
};

std::optional<LocalTime> to_local_time(const DateTime& v) {
    if (v.year < 1 || v.year > 9999) return std::nullopt;
    const chr::year_month_day ymd{chr::year{v.year}, chr::month{static_cast<unsigned>(v.month)},
                                  chr::day{static_cast<unsigned>(v.day)}};
    if (!ymd.ok() || v.hour < 0 || v.hour > 23 || v.minute < 0 || v.minute > 59 || v.second < 0 ||
        v.second > 59 || v.micro < 0 || v.micro > 999'999)
        return std::nullopt;
    return LocalTime{chr::local_days{ymd}} + chr::hours{v.hour} + chr::minutes{v.minute} +
           chr::seconds{v.second} + chr::microseconds{v.micro};
}

// A cursor over a date text; every read checks the bounds.
class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}

    bool done() const { return i_ == s_.size(); }
    bool at_digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

    bool eat(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }

    // One character out of `set`, returned; '\0' when the next one is not in it.
    char eat_any(std::string_view set) {
        if (i_ < s_.size() && set.find(s_[i_]) != std::string_view::npos) return s_[i_++];
        return '\0';
    }

    // One or more ASCII blanks.
    bool eat_blanks() {
        const std::size_t start = i_;
        while (i_ < s_.size() && std::string_view(" \t\n\r\f\v").find(s_[i_]) != std::string_view::npos) ++i_;
        return i_ > start;
    }

    // Between `min` and `max` decimal digits (as many as there are, up to `max`).
    bool digits(int min, int max, int& out, int* count = nullptr) {
        int n = 0;
        int value = 0;
        while (n < max && at_digit()) {
            value = value * 10 + (s_[i_++] - '0');
            ++n;
        }
        if (count) *count = n;
        if (n < min) return false;
        out = value;
        return true;
    }

private:
    std::string_view s_;
    std::size_t i_ = 0;
};

// "%d.%m.%Y %H:%M:%S", read the way strptime reads it: one or two digits for every field
// but the four-digit year, any run of blanks for the blank.
std::optional<LocalTime> parse_dotted(std::string_view text) {
    Scanner sc(text);
    DateTime v;
    if (sc.digits(1, 2, v.day) && sc.eat('.') && sc.digits(1, 2, v.month) && sc.eat('.') &&
        sc.digits(4, 4, v.year) && sc.eat_blanks() && sc.digits(1, 2, v.hour) && sc.eat(':') &&
        sc.digits(1, 2, v.minute) && sc.eat(':') && sc.digits(1, 2, v.second) && sc.done())
        return to_local_time(v);
    return std::nullopt;
}

// "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S" and "%Y-%m-%dT%H:%M:%S.%f" (one to six
// digits of a fraction, read as the leading digits of the microseconds).
std::optional<LocalTime> parse_dashed(std::string_view text) {
    Scanner sc(text);
    DateTime v;
    if (!(sc.digits(4, 4, v.year) && sc.eat('-') && sc.digits(1, 2, v.month) && sc.eat('-') &&
          sc.digits(1, 2, v.day)))
        return std::nullopt;
    const bool with_t = sc.eat('T') || sc.eat('t');
    if (!with_t && !sc.eat_blanks()) return std::nullopt;
    if (!(sc.digits(1, 2, v.hour) && sc.eat(':') && sc.digits(1, 2, v.minute) && sc.eat(':') &&
          sc.digits(1, 2, v.second)))
        return std::nullopt;
    if (with_t && sc.eat('.')) {
        int count = 0;
        if (!sc.digits(1, 6, v.micro, &count)) return std::nullopt;
        for (; count < 6; ++count) v.micro *= 10;
    }
    if (!sc.done()) return std::nullopt;
    return to_local_time(v);
}

// ISO 8601: YYYY-MM-DD or YYYYMMDD, optionally followed by "T" (or a blank) and a time
// hh[:mm[:ss[.fff...]]] (or hh[mm[ss]]) with an optional offset ±hh[:mm[:ss]] (or
// ±hh[mm[ss]]). Fractions beyond microseconds are cut off. A time with an offset is
// converted to local time; one without is taken as local time already.
std::optional<LocalTime> parse_iso(std::string_view text) {
    Scanner sc(text);
    DateTime v;
    if (!sc.digits(4, 4, v.year)) return std::nullopt;
    if (sc.eat('-')) {
        if (!(sc.digits(2, 2, v.month) && sc.eat('-') && sc.digits(2, 2, v.day))) return std::nullopt;
    } else if (!(sc.digits(2, 2, v.month) && sc.digits(2, 2, v.day))) {
        return std::nullopt;
    }
    if (sc.done()) return to_local_time(v);
    if (!sc.eat_any("Tt ")) return std::nullopt;

    // hh, then minutes and seconds in the extended (":") or the basic form.
    auto read_hms = [&sc](int& h, int& m, int& s) {
        if (!sc.digits(2, 2, h)) return false;
        if (sc.eat(':')) {
            if (!sc.digits(2, 2, m)) return false;
            if (sc.eat(':') && !sc.digits(2, 2, s)) return false;
        } else if (sc.at_digit()) {
            if (!sc.digits(2, 2, m)) return false;
            if (sc.at_digit() && !sc.digits(2, 2, s)) return false;
        }
        return true;
    };
    // A fraction after the seconds: its first six digits are the microseconds.
    auto read_fraction = [&sc](int& micro) {
        if (!sc.eat_any(".,")) return true;
        int count = 0;
        if (!sc.digits(1, 6, micro, &count)) return false;
        for (; count < 6; ++count) micro *= 10;
        int ignored = 0;
        while (sc.at_digit()) sc.digits(1, 1, ignored);
        return true;
    };
    if (!read_hms(v.hour, v.minute, v.second) || !read_fraction(v.micro)) return std::nullopt;

    const char sign = sc.eat_any("+-");
    int off_h = 0, off_m = 0, off_s = 0, off_micro = 0;
    if (sign && (!read_hms(off_h, off_m, off_s) || !read_fraction(off_micro))) return std::nullopt;
    if (!sc.done()) return std::nullopt;

    const std::optional<LocalTime> wall = to_local_time(v);
    if (!wall || !sign) return wall;
    if (off_m > 59 || off_s > 59) return std::nullopt;
    const chr::microseconds offset =
        chr::hours{off_h} + chr::minutes{off_m} + chr::seconds{off_s} + chr::microseconds{off_micro};
    if (offset >= chr::hours{24}) return std::nullopt;
    const chr::sys_time<chr::microseconds> utc{wall->time_since_epoch() - (sign == '-' ? -offset : offset)};
    return detail::utc_to_local(utc);
}

// --- CSV writing ---------------------------------------------------------------------

// A field with ";", a double quote or a line break goes inside double quotes with the
// inner quotes doubled; any other field is written as it is.
void append_field(std::string& out, std::string_view field) {
    if (std::none_of(field.begin(), field.end(), [](char c) { return c == ';' || c == '"' || c == '\r' || c == '\n'; })) {
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

void append_number(std::string& out, long long value, int width) {
    std::array<char, 24> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value < 0 ? -value : value);
    (void)ec;  // a long long always fits
    if (value < 0) out += '-';
    for (auto n = end - buf.data(); n < width; ++n) out += '0';
    out.append(buf.data(), end);
}

}  // namespace

// --- times ---------------------------------------------------------------------------

namespace detail {

std::optional<LocalTime> utc_to_local(chr::sys_time<chr::microseconds> utc) {
    const chr::sys_seconds whole = chr::floor<chr::seconds>(utc);
    const auto count = whole.time_since_epoch().count();
    if (count < std::numeric_limits<std::time_t>::min() || count > std::numeric_limits<std::time_t>::max())
        return std::nullopt;
    const auto t = static_cast<std::time_t>(count);
    std::tm tm{};
#ifdef _WIN32
    if (localtime_s(&tm, &t) != 0) return std::nullopt;
#else
    if (localtime_r(&t, &tm) == nullptr) return std::nullopt;
#endif
    const chr::year_month_day ymd{chr::year{tm.tm_year + 1900}, chr::month{static_cast<unsigned>(tm.tm_mon + 1)},
                                  chr::day{static_cast<unsigned>(tm.tm_mday)}};
    if (!ymd.ok()) return std::nullopt;
    return LocalTime{chr::local_days{ymd}} + chr::hours{tm.tm_hour} + chr::minutes{tm.tm_min} +
           chr::seconds{tm.tm_sec} + (utc - whole);
}

}  // namespace detail

LocalTime local_now() {
    const auto utc = chr::floor<chr::microseconds>(chr::system_clock::now());
    // The conversion fails only for instants out of the system's range; the UTC wall time
    // is then the best there is.
    return detail::utc_to_local(utc).value_or(LocalTime{utc.time_since_epoch()});
}

std::optional<LocalTime> parse_history_datetime(std::string_view value) {
    const std::string_view text = trim_space(value);
    if (text.empty()) return std::nullopt;
    if (auto t = parse_dotted(text)) return t;
    if (auto t = parse_dashed(text)) return t;
    std::string iso;
    iso.reserve(text.size() + 8);
    for (char c : text) {
        if (c == 'Z')
            iso += "+00:00";
        else
            iso += c;
    }
    return parse_iso(iso);
}

std::string format_history_datetime(LocalTime t) {
    const auto day = chr::floor<chr::days>(t);
    const chr::year_month_day ymd{day};
    const chr::hh_mm_ss hms{chr::floor<chr::seconds>(t - day)};
    std::string out;
    out.reserve(19);
    append_number(out, static_cast<unsigned>(ymd.day()), 2);
    out += '.';
    append_number(out, static_cast<unsigned>(ymd.month()), 2);
    out += '.';
    append_number(out, static_cast<int>(ymd.year()), 4);
    out += ' ';
    append_number(out, hms.hours().count(), 2);
    out += ':';
    append_number(out, hms.minutes().count(), 2);
    out += ':';
    append_number(out, hms.seconds().count(), 2);
    return out;
}

// --- keys ----------------------------------------------------------------------------

fs::path history_csv_path(const fs::path& app_dir) { return app_dir / "waybill_history.csv"; }

std::string history_key(std::string_view file_name, std::string_view content, int nup) {
    std::string text = pdf::normalize_waybill_name(file_name);
    text += ':';
    text += sha256_hex(content);
    text += ':';
    text += std::to_string(nup);
    return sha256_hex(text);
}

std::string key_for_file(const fs::path& pdf_path, int nup) {
    return history_key(utf8(pdf_path.filename()), read_file(pdf_path), nup);
}

// --- CSV reading ---------------------------------------------------------------------

namespace detail {

CsvReader::CsvReader(std::string_view text) : text_(text) {
    if (text_.starts_with(BOM)) pos_ = BOM.size();
}

std::string& CsvReader::field_slot() {
    if (count_ == fields_.size())
        fields_.emplace_back();
    else
        fields_[count_].clear();
    return fields_[count_++];
}

bool CsvReader::next(std::span<const std::string>& fields) {
    const std::size_t n = text_.size();
    if (pos_ >= n) return false;
    ++record_;
    count_ = 0;
    auto at = [&](char c) { return pos_ < n && text_[pos_] == c; };
    auto fail = [&](const char* what) {
        throw diag::RuntimeError(std::string("history file record ") + std::to_string(record_) + ": " + what);
    };

    if (!at('\r') && !at('\n')) {
        for (;;) {
            std::string& field = field_slot();
            if (at('"')) {
                ++pos_;
                for (;;) {
                    const std::size_t quote = text_.find('"', pos_);
                    if (quote == std::string_view::npos) fail("quoted field is not closed");
                    field.append(text_.substr(pos_, quote - pos_));
                    pos_ = quote + 1;
                    if (!at('"')) break;
                    field += '"';  // a doubled quote stands for one
                    ++pos_;
                }
                if (pos_ < n && !at(';') && !at('\r') && !at('\n')) fail("text after a closing quote");
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
    return true;
}

void merge_history_csv(const fs::path& path, History& history) {
    std::error_code ec;
    if (fs::status(path, ec).type() == fs::file_type::not_found) return;
    const std::string text = read_file(path);
    if (!i18n::is_valid_utf8(text)) throw diag::RuntimeError("history file is not UTF-8: " + utf8(path));

    CsvReader reader(text);
    std::span<const std::string> fields;
    while (reader.next(fields)) {
        if (fields.size() < 2) continue;
        const std::string_view name = trim_space(fields[0]);
        if (is_header_name(name)) continue;
        const std::optional<LocalTime> processed_at = parse_history_datetime(fields[1]);
        if (name.empty() || !processed_at) continue;

        const std::string_view key_field = fields.size() >= 3 ? trim_space(fields[2]) : std::string_view{};
        std::string key = key_field.empty() ? pdf::normalize_waybill_name(name) : std::string(key_field);

        int nup = 0;
        if (fields.size() >= 4) {
            std::string_view digits = trim_space(fields[3]);
            if (digits.starts_with('+') && !digits.substr(1).starts_with('-')) digits.remove_prefix(1);
            int value = 0;
            const auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
            if (err == std::errc{} && end == digits.data() + digits.size()) nup = value;
        }

        auto [it, inserted] = history.try_emplace(std::move(key));
        if (inserted || *processed_at > it->second.processed_at)
            it->second = Record{base_name(name), *processed_at, nup};
    }
}

}  // namespace detail

// --- the store -----------------------------------------------------------------------

void save_waybill_history(const fs::path& app_dir, const History& history) {
    struct Row {
        const std::string* key;
        const Record* record;
        std::string folded_name;
    };
    std::vector<Row> rows;
    rows.reserve(history.size());
    for (const auto& [key, record] : history) rows.push_back({&key, &record, fold(record.name)});
    // Newest first, then case-folded name descending; the key only makes the order of
    // otherwise equal rows the same from one save to the next.
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a.record->processed_at != b.record->processed_at) return a.record->processed_at > b.record->processed_at;
        if (a.folded_name != b.folded_name) return a.folded_name > b.folded_name;
        return *a.key > *b.key;
    });

    std::string text;
    text.reserve(BOM.size() + HEADER.size() + rows.size() * 128);
    text += BOM;
    text += HEADER;
    for (const Row& row : rows) {
        append_field(text, row.record->name);
        text += ';';
        text += format_history_datetime(row.record->processed_at);
        text += ';';
        append_field(text, *row.key);
        text += ';';
        if (row.record->nup != 0) append_number(text, row.record->nup, 0);
        text += "\r\n";
    }

    try {
        platform::StagedFile file(history_csv_path(app_dir));
        file.write(text);
        file.commit();
    } catch (const fs::filesystem_error& e) {
        throw diag::RuntimeError("Не удалось сохранить историю накладных " + utf8(history_csv_path(app_dir)) +
                                 ": " + e.code().message());
    }
}

History load_waybill_history(const fs::path& app_dir, LocalTime now) {
    const fs::path csv = history_csv_path(app_dir);
    std::error_code ec;
    fs::remove(fs::path(csv).replace_extension(".tmp"), ec);  // left by a crash between write and rename

    History history;
    bool changed = false;
    const bool missing = fs::status(csv, ec).type() == fs::file_type::not_found;
    if (!missing) {
        try {
            detail::merge_history_csv(csv, history);
        } catch (const std::exception&) {
            // A damaged file gives way to an empty history; its bytes are kept beside it
            // (replacing an older copy) so that entries can still be recovered by hand.
            history.clear();
            changed = true;
            fs::rename(csv, fs::path(csv) += ".bad", ec);
        }
    }

    const LocalTime cutoff = now - chr::days{OLD_SHEET_DAYS};
    if (std::erase_if(history, [cutoff](const auto& entry) { return entry.second.processed_at < cutoff; }) > 0)
        changed = true;

    if (changed || missing) save_waybill_history(app_dir, history);
    return history;
}

void record_processed_waybills(const fs::path& app_dir, const std::vector<Entry>& entries, int nup, LocalTime now) {
    History history = load_waybill_history(app_dir, now);
    for (const Entry& entry : entries) history.insert_or_assign(entry.key, Record{base_name(entry.name), now, nup});
    save_waybill_history(app_dir, history);
}

void record_processed_waybills(const fs::path& app_dir, const std::vector<fs::path>& pdf_files, int nup,
                               LocalTime now) {
    std::vector<Entry> entries;
    entries.reserve(pdf_files.size());
    for (const fs::path& file : pdf_files) entries.push_back({key_for_file(file, nup), utf8(file.filename())});
    record_processed_waybills(app_dir, entries, nup, now);
}

}  // namespace history
