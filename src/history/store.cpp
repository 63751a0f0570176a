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
#include <system_error>

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

// Whole content of a file, read in chunks rather than sized with stat() first: on
// Windows stat() stops at MAX_PATH, and unpacked waybills in nested folders lie deeper.
std::string read_file(const fs::path& p) {
    errno = 0;
    std::ifstream in(platform::extended_length_path(p), std::ios::binary);
    if (!in) {
        if (errno == ENOENT) throw diag::FileNotFound("file not found: " + utf8(p));
        throw diag::RuntimeError("cannot read file " + utf8(p) + ": " +
                                 std::generic_category().message(errno != 0 ? errno : EIO));
    }
    std::string bytes;
    std::array<char, 1 << 16> chunk{};
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0)
        bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    // A folder opens on some systems, but reading it fails.
    if (in.bad() || !in.eof()) throw diag::RuntimeError("cannot read file " + utf8(p));
    return bytes;
}

}  // namespace

// --- keys ----------------------------------------------------------------------------

fs::path history_csv_path(const fs::path& app_dir) { return app_dir / "waybill_history.csv"; }

std::string history_key(std::string_view file_name, std::string_view content, int nup) {
    std::string text = i18n::normalize_waybill_name(file_name);
    text += ':';
    text += sha256_hex(content);
    text += ':';
    text += std::to_string(nup);
    return sha256_hex(text);
}

std::string key_for_file(const fs::path& pdf_path, int nup) {
    return history_key(utf8(pdf_path.filename()), read_file(pdf_path), nup);
}

// --- reading the file --------------------------------------------------------------

namespace detail {

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

