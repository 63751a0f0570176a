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
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"
#include "history/csv.hpp"

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
std::error_code last_error() { return errno != 0 ? std::error_code(errno, std::generic_category()) : std::error_code(); }

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
        if (piece.size() > bytes.max_size() - bytes.size()) fail_read(p, std::make_error_code(std::errc::file_too_large));
        bytes.append(piece);
    });
    return bytes;
}

// Lower-case hex SHA-256 of a file's bytes, read in pieces: a waybill of any size takes
// no more memory than one piece.
std::string sha256_hex_of_file(const fs::path& p) {
    std::ifstream in = open_for_reading(p);
    try {
        platform::Sha256 hash;
        read_pieces(in, p, [&](std::string_view piece) { hash.update(piece); });
        return hex(hash.final());
    } catch (const diag::Error&) {
        throw;
    } catch (const std::runtime_error&) {
        throw diag::RuntimeError("SHA-256 could not be computed");
    }
}

}  // namespace

// --- keys ----------------------------------------------------------------------------

fs::path history_csv_path(const fs::path& app_dir) { return app_dir / "waybill_history.csv"; }

namespace {

std::string key_from_digest(std::string_view file_name, const std::string& content_digest, int nup) {
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

std::string key_for_file(const fs::path& pdf_path, int nup) {
    return key_for_file(pdf_path, utf8(pdf_path.filename()), nup);
}

std::string key_for_file(const fs::path& pdf_path, std::string_view file_name, int nup) {
    return key_from_digest(file_name, sha256_hex_of_file(pdf_path), nup);
}

HistoryLock lock_history(const fs::path& app_dir) {
    const fs::path path = app_dir / "waybill_history.lock";
    try {
        return std::make_unique<platform::FileLock>(path);
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("history_lock_failed", e, history_csv_path(app_dir));
    }
}

// --- reading the file --------------------------------------------------------------

namespace detail {

void merge_history_csv(const fs::path& path, History& history) {
    std::error_code ec;
    if (fs::status(path, ec).type() == fs::file_type::not_found) return;
    const std::string text = read_file(path);
    if (!i18n::is_valid_utf8(text))
        throw diag::RuntimeError(diag::Text{"file_read_failed", {{"path", utf8(path)}}, "", "not UTF-8"});

    CsvReader reader(text);
    std::span<const std::string> fields;
    while (reader.next(fields)) {
        if (fields.size() < 2) continue;
        const std::string_view name = trim_space(fields[0]);
        if (is_header_name(name)) continue;
        const std::optional<LocalTime> processed_at = parse_history_datetime(fields[1]);
        if (name.empty() || !processed_at) continue;

        const std::string_view key_field = fields.size() >= 3 ? trim_space(fields[2]) : std::string_view{};
        std::string key = key_field.empty() ? i18n::normalize_waybill_name(name) : std::string(key_field);

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
        append_csv_field(text, row.record->name);
        text += ';';
        text += format_history_datetime(row.record->processed_at);
        text += ';';
        append_csv_field(text, *row.key);
        text += ';';
        if (row.record->nup != 0) text += std::to_string(row.record->nup);
        text += "\r\n";
    }

    try {
        platform::StagedFile file(history_csv_path(app_dir));
        file.write(text);
        file.commit();
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("history_save_failed", e, history_csv_path(app_dir));
    }
}

History load_waybill_history(const fs::path& app_dir, LocalTime now) {
    const fs::path csv = history_csv_path(app_dir);
    std::error_code ec;

    History history;
    bool changed = false;
    const bool missing = fs::status(csv, ec).type() == fs::file_type::not_found;
    if (!missing) {
        try {
            detail::merge_history_csv(csv, history);
        } catch (const diag::Error& e) {
            // A file that cannot be read now (no access, a disk error, another program
            // holding it) is not a damaged one: starting afresh would forget every
            // waybill in it, so the job stops and says why.
            const diag::Text* text = e.text();
            if (text && text->key == "file_read_failed" && !text->advice.empty() && text->advice != "fs_not_found")
                throw diag::RuntimeError(diag::Text{"history_read_failed", {{"path", utf8(csv)}}, text->advice, text->detail});
            history.clear();
            changed = true;
            fs::rename(csv, fs::path(csv) += ".bad", ec);
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

