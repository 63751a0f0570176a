#include "history/store.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>

#include "diag/errors.hpp"
#include "history/csv.hpp"
#include "i18n/unicode.hpp"
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
    const auto code_points =
        std::count_if(name.begin(), name.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    if (code_points > 9) return false;  // "file_name"
    return std::find(HEADER_NAMES.begin(), HEADER_NAMES.end(), fold(name)) != HEADER_NAMES.end();
}

// The text of a field saved in a single-byte Cyrillic code page, as UTF-8; no value when
// it holds a byte that is neither ASCII nor a Cyrillic letter there. Only the header
// words are looked for in such fields, so only letters are mapped: the program's ICU
// carries no code-page converters in its Windows build.
enum class CodePage { cp1251, cp866 };
std::optional<std::string> cyrillic_text(std::string_view bytes, CodePage page) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        char32_t c = 0;
        if (b < 0x80) {
            out += ch;
            continue;
        }
        if (page == CodePage::cp1251) {
            if (b >= 0xC0)
                c = U'\u0410' + (b - 0xC0);  // А..я
            else if (b == 0xA8)
                c = U'\u0401';  // Ё
            else if (b == 0xB8)
                c = U'\u0451';  // ё
        } else {
            if (b <= 0xAF)
                c = U'\u0410' + (b - 0x80);  // А..п
            else if (b >= 0xE0 && b <= 0xEF)
                c = U'\u0440' + (b - 0xE0);  // р..я
            else if (b == 0xF0)
                c = U'\u0401';
            else if (b == 0xF1)
                c = U'\u0451';
        }
        if (c == 0) return std::nullopt;
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// True for the first field of a header row in UTF-8, or in a code page a spreadsheet
// saved the file in (Excel's "ANSI" is CP1251 for Russian and Kazakh Windows).
bool is_header_in_any_encoding(std::string_view field) {
    if (i18n::is_valid_utf8(field)) return is_header_name(trim_space(field));
    for (const CodePage page : {CodePage::cp1251, CodePage::cp866})
        if (const std::optional<std::string> text = cyrillic_text(field, page);
            text && is_header_name(trim_space(*text)))
            return true;
    return false;
}

// Last component of a file name with blanks at both ends removed.
std::string base_name(std::string_view name) {
    return std::string(trim_space(i18n::last_path_component(trim_space(name))));
}

std::string hex(const std::array<std::uint8_t, 32>& digest) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string out;
    out.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
    return out;
}

std::string sha256_hex(std::string_view bytes) {
    try {
        return hex(platform::sha256(bytes));
    } catch (const std::runtime_error&) {
        throw diag::RuntimeError("SHA-256 could not be computed");
    }
}

// The system's error of the last failed call (the streams keep it in errno), if any.
std::error_code last_error() {
    return errno != 0 ? std::error_code(errno, std::generic_category()) : std::error_code();
}

[[noreturn]] void fail_read(const fs::path& p, std::error_code ec) {
    if (!ec) ec = std::make_error_code(std::errc::io_error);
    ec = platform::tell_busy_from_denied(p, ec);  // the file open in Excel, say
    if (ec == std::errc::no_such_file_or_directory) {
        const diag::RuntimeError e = diag::file_error("file_read_failed", p, ec);
        throw diag::FileNotFound(*e.text());
    }
    throw diag::file_error("file_read_failed", p, ec);
}

// Opens a file for reading at any path length (unpacked waybills in nested folders lie
// past MAX_PATH on Windows). No stat() first: on Windows it stops at MAX_PATH too.
std::ifstream open_for_reading(const fs::path& p) {
    errno = 0;
    std::ifstream in(platform::extended_length_path(p), std::ios::binary);
    if (!in) fail_read(p, last_error());
    return in;
}

// Reads `in` to its end in pieces, handing each to `take`. A folder opens on some
// systems, but reading it fails.
template <typename Take>
void read_pieces(std::ifstream& in, const fs::path& p, Take&& take) {
    std::vector<char> chunk(256 * 1024);
    errno = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0) take(std::string_view(chunk.data(), static_cast<std::size_t>(in.gcount())));
    }
    if (in.bad() || !in.eof()) {
        std::error_code ec = last_error();
        if (!ec) ec = std::make_error_code(std::errc::is_a_directory);
        fail_read(p, ec);
    }
}

// Whole content of a file.
std::string read_file(const fs::path& p) {
    std::ifstream in = open_for_reading(p);
    std::string bytes;
    read_pieces(in, p, [&](std::string_view piece) {
        if (piece.size() > bytes.max_size() - bytes.size())
            fail_read(p, std::make_error_code(std::errc::file_too_large));
        bytes.append(piece);
    });
    return bytes;
}

}  // namespace

// --- keys ----------------------------------------------------------------------------

fs::path history_csv_path(const fs::path& history_dir) { return history_dir / "waybill_history.csv"; }

namespace {

std::string key_from_digest(std::string_view file_name, std::string_view content_digest, int nup) {
    std::string text = i18n::normalize_waybill_name(file_name);
    text += ':';
    text += content_digest;
    text += ':';
    text += std::to_string(nup);
    return sha256_hex(text);
}

}  // namespace

std::string history_key(std::string_view file_name, std::string_view content, int nup) {
    return key_from_digest(file_name, sha256_hex(content), nup);
}

std::string history_key_for_digest(std::string_view file_name, std::string_view content_sha256, int nup) {
    return key_from_digest(file_name, content_sha256, nup);
}

fs::path history_lock_path(const fs::path& history_dir) { return history_dir / "waybill_history.lock"; }

HistoryLock lock_history(const fs::path& history_dir, std::chrono::milliseconds wait,
                         const std::function<void()>& on_wait) {
    const fs::path path = history_lock_path(history_dir);
    try {
        return std::make_unique<platform::FileLock>(path, wait, on_wait);
    } catch (const fs::filesystem_error& e) {
        if (e.code() == std::errc::timed_out) {
            const auto minutes = std::chrono::ceil<std::chrono::minutes>(wait).count();
            throw diag::RuntimeError(
                diag::Text{"history_lock_busy", {{"path", utf8(path)}, {"minutes", std::to_string(minutes)}}});
        }
        throw diag::file_error("history_lock_failed", e, history_csv_path(history_dir));
    }
}

// --- reading the file --------------------------------------------------------------

namespace detail {

int merge_history_text(std::string_view text, History& history) {
    CsvReader reader(text);
    std::span<const std::string> fields;
    int skipped = 0;
    for (CsvReader::Read got; (got = reader.read(fields)) != CsvReader::Read::end;) {
        if (got == CsvReader::Read::damaged) {
            ++skipped;
            continue;
        }
        // The file never holds a line break inside a field: a quote that ran on over
        // several lines is a damaged record, and the lines it took are records again.
        if (std::any_of(fields.begin(), fields.end(),
                        [](const std::string& f) { return f.find_first_of("\r\n") != std::string::npos; })) {
            reader.resume_after_first_line();
            ++skipped;
            continue;
        }
        if (!std::all_of(fields.begin(), fields.end(), [](const std::string& f) { return i18n::is_valid_utf8(f); })) {
            if (!is_header_in_any_encoding(fields[0])) ++skipped;
            continue;
        }
        // What the file's rules pass over: empty lines, rows of one field, rows without
        // a name or a date (header rows among them). A later version or a spreadsheet
        // may add columns: the row is read by its first four fields.
        if (fields.size() < 2) continue;
        const std::string_view name = trim_space(fields[0]);
        std::string file_name = base_name(name);  // "dir/" names no file
        const std::optional<LocalTime> processed_at = parse_history_datetime(fields[1]);
        if (file_name.empty() || !processed_at) continue;

        const std::string_view key_field = fields.size() >= 3 ? trim_space(fields[2]) : std::string_view{};
        // Trimmed as the key column reads back: a compatibility form can normalise to a
        // leading blank (U+00A8 to a space and a combining mark).
        std::string key =
            key_field.empty() ? std::string(trim_space(i18n::normalize_waybill_name(name))) : std::string(key_field);

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
            it->second = Record{std::move(file_name), *processed_at, nup,
                                fields.size() > 4 ? std::vector<std::string>(fields.begin() + 4, fields.end())
                                                  : std::vector<std::string>{}};
    }
    return skipped;
}

int merge_history_csv(const fs::path& path, History& history) {
    std::error_code ec;
    if (fs::status(path, ec).type() == fs::file_type::not_found) return 0;
    return merge_history_text(read_file(path), history);
}

std::string history_text(const History& history) {
    struct Row {
        const std::string* key;
        const Record* record;
        std::string folded_name;
    };
    std::vector<Row> rows;
    rows.reserve(history.size());
    for (const auto& [key, record] : history) rows.push_back({&key, &record, fold(record.name)});
    // Newest first, then case-folded name descending; the key only makes the order of
    // otherwise equal rows the same from one save to the next. Times are compared as the
    // file keeps them, to the second: a row read with a fraction (a file of another
    // program) lands where it will stay when the file is read and saved again.
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        using std::chrono::floor;
        using std::chrono::seconds;
        const auto a_at = floor<seconds>(a.record->processed_at);
        const auto b_at = floor<seconds>(b.record->processed_at);
        if (a_at != b_at) return a_at > b_at;
        if (a.folded_name != b.folded_name) return a.folded_name > b.folded_name;
        return *a.key > *b.key;
    });

    std::string text;
    text.reserve(BOM.size() + HEADER.size() + rows.size() * 128);
    text += BOM;
    text += HEADER;
    for (const Row& row : rows) {
        append_csv_field(text, row.record->name);
        text += ';';
        text += format_history_datetime(row.record->processed_at);
        text += ';';
        append_csv_field(text, *row.key);
        text += ';';
        if (row.record->nup != 0) text += std::to_string(row.record->nup);
        for (const std::string& field : row.record->extra) {
            text += ';';
            append_csv_field(text, field);
        }
        text += "\r\n";
    }
    return text;
}

}  // namespace detail

// --- the store -----------------------------------------------------------------------

void save_waybill_history(const fs::path& history_dir, const History& history, platform::Renamer& renamer) {
    const std::string text = detail::history_text(history);
    try {
        platform::StagedFile file(history_csv_path(history_dir), renamer);
        file.write(text);
        file.commit();
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("history_save_failed", e, history_csv_path(history_dir));
    }
}

namespace {

// "waybill_history.csv.bad", else "waybill_history.csv.<n>.bad" for n = 2, 3, ...
fs::path damaged_copy_name(const fs::path& csv, int n) {
    fs::path name = csv;
    if (n > 1) {
        name += ".";
        name += std::to_string(n);
    }
    name += ".bad";
    return name;
}

// Keeps `text`, the history file's bytes as they were read, under the first free
// damaged-copy name; an existing copy is never replaced. Written whole or not at all.
fs::path keep_damaged_copy(const fs::path& csv, std::string_view text, platform::Renamer& renamer) {
    try {
        platform::StagedFile copy(damaged_copy_name(csv, 1), renamer);
        copy.write(text);
        return copy.commit_with(
            [&](const fs::path& temp) {
                for (int n = 1;; ++n) {
                    const fs::path candidate = damaged_copy_name(csv, n);
                    try {
                        renamer.rename_no_replace(temp, candidate);
                        return candidate;
                    } catch (const fs::filesystem_error& e) {
                        if (e.code() != std::errc::file_exists) throw;
                    }
                }
            },
            /*durable=*/true);
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("history_save_failed", e, csv);
    }
}

}  // namespace

Loaded load_history(const fs::path& history_dir, LocalTime now, platform::Renamer& renamer) {
    const fs::path csv = history_csv_path(history_dir);
    std::error_code ec;

    Loaded loaded;
    bool changed = false;
    bool missing = fs::status(csv, ec).type() == fs::file_type::not_found;
    std::string text;
    if (!missing) {
        try {
            text = read_file(csv);
        } catch (const diag::FileNotFound&) {
            missing = true;  // gone since it was seen
        } catch (const diag::Error& e) {
            // A file that cannot be read now (no access, a disk error, another program
            // holding it) is not a damaged one: starting afresh would forget every
            // waybill in it, so the job stops and says why.
            const diag::Text* t = e.text();
            throw diag::RuntimeError(diag::Text{
                "history_read_failed", {{"path", utf8(csv)}}, t ? t->advice : "fs_other", t ? t->detail : e.what()});
        }
    }
    if (!missing) {
        loaded.skipped = detail::merge_history_text(text, loaded.history);
        if (loaded.skipped > 0) {
            // The file written back holds the good records only: the bytes as they
            // were go to a copy first.
            loaded.damaged_copy = keep_damaged_copy(csv, text, renamer);
            changed = true;
        }
    }

    const LocalTime cutoff = now - chr::days{RETENTION_DAYS};
    if (std::erase_if(loaded.history, [cutoff](const auto& entry) { return entry.second.processed_at < cutoff; }) > 0)
        changed = true;

    if (changed || missing) save_waybill_history(history_dir, loaded.history, renamer);
    return loaded;
}

void record_processed_waybills(const fs::path& history_dir, const std::vector<Entry>& entries, int nup, LocalTime now,
                               platform::Renamer& renamer) {
    History history = load_history(history_dir, now, renamer).history;
    for (const Entry& entry : entries) {
        Record& record = history[entry.key];  // a row of the file keeps its extra fields
        record.name = base_name(entry.name);
        record.processed_at = now;
        record.nup = nup;
    }
    save_waybill_history(history_dir, history, renamer);
}

}  // namespace history
