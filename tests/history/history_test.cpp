#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "diag/errors.hpp"
#include "history/csv.hpp"
#include "history/store.hpp"
#include "platform/claims.hpp"
#include "platform/platform.hpp"
#include "support/child.hpp"
#include "support/env.hpp"
#include "support/recording_renamer.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
namespace chr = std::chrono;
using fixtures::read_bytes;
using fixtures::write_bytes;
using history::LocalTime;
using platform::utf8;

constexpr std::string_view BOM = "\xEF\xBB\xBF";
constexpr std::string_view HEADER = "Имя PDF;Дата и время обработки;Признак;Раскладка\r\n";
const std::string KEY_A(64, 'a');
const std::string KEY_B(64, 'b');

LocalTime at(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int us = 0) {
    return LocalTime{chr::local_days{chr::year{y} / mo / d}} + chr::hours{h} + chr::minutes{mi} + chr::seconds{s} +
           chr::microseconds{us};
}

std::string show(const std::optional<LocalTime>& t) {
    if (!t) return "none";
    const auto us = (*t - chr::floor<chr::seconds>(*t)).count();
    return history::format_history_datetime(*t) + "." + std::to_string(us);
}

// Sets the time zone the C library converts with, and puts the old one back afterwards.
class TimeZone {
public:
    explicit TimeZone(const char* tz) : tz_("TZ", tz) { tzset(); }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    // Members go in reverse order: the old TZ is back before tzset reads it again.
    struct Reload {
        ~Reload() { tzset(); }
    } reload_;
    fixtures::EnvVar tz_;
};

// Records read back from a history file (through the reader under test).
history::History merged(const fs::path& file) {
    history::History h;
    history::detail::merge_history_csv(file, h);
    return h;
}

// --- keys ----------------------------------------------------------------------------

TEST(HistoryKey, MatchesTheDigestOfTheJoinedText) {
    // Derived with the shell:
    //   printf 'hello' | sha256sum
    //     -> 2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824
    //   printf 'заказ 1.pdf:2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824:4' | sha256sum
    //     -> ee21f5ee1d600830cf9722d1497d02b2b600485d7c5abd18387e9572c1f6a8fb
    EXPECT_EQ(history::history_key("Заказ 1.PDF", "hello", 4),
              "ee21f5ee1d600830cf9722d1497d02b2b600485d7c5abd18387e9572c1f6a8fb");
    // The name is normalised first: folder, blanks, letter case and full-width digits do not count.
    EXPECT_EQ(history::history_key("архив/  ЗАКАЗ １.pdf ", "hello", 4),
              "ee21f5ee1d600830cf9722d1497d02b2b600485d7c5abd18387e9572c1f6a8fb");
}

TEST(HistoryKey, NameContentAndLayoutEachChangeTheKey) {
    const std::string base = history::history_key("a.pdf", "bytes", 1);
    EXPECT_NE(base, history::history_key("a.pdf", "bytes", 4));
    EXPECT_NE(base, history::history_key("a.pdf", "other bytes", 1));
    EXPECT_NE(base, history::history_key("b.pdf", "bytes", 1));
    EXPECT_EQ(base.size(), 64u);
    EXPECT_EQ(base.find_first_not_of("0123456789abcdef"), std::string::npos);
}

// --- dates ---------------------------------------------------------------------------

TEST(HistoryDate, AcceptedAndRejectedForms) {
    struct Case {
        const char* text;
        std::optional<LocalTime> want;
    };
    const Case cases[] = {
        {"05.03.2025 14:07:09", at(2025, 3, 5, 14, 7, 9)},
        {"  5.3.2025   4:7:9 \t", at(2025, 3, 5, 4, 7, 9)},
        {"2025-03-05 14:07:09", at(2025, 3, 5, 14, 7, 9)},
        {"2025-03-05T14:07:09", at(2025, 3, 5, 14, 7, 9)},
        {"2025-03-05T14:07:09.250000", at(2025, 3, 5, 14, 7, 9, 250000)},
        {"2025-03-05T14:07:09.25", at(2025, 3, 5, 14, 7, 9, 250000)},
        {"\xC2\xA0"
         "2025-03-05T14:07:09\xE3\x80\x80",
         at(2025, 3, 5, 14, 7, 9)},  // NBSP, ideographic space
        // ISO 8601 beyond the fixed patterns.
        {"2025-03-05", at(2025, 3, 5)},
        {"20250305", at(2025, 3, 5)},
        {"2025-03-05T14", at(2025, 3, 5, 14)},
        {"2025-03-05T14:07", at(2025, 3, 5, 14, 7)},
        {"20250305T140709", at(2025, 3, 5, 14, 7, 9)},
        {"2025-03-05T14:07:09,5", at(2025, 3, 5, 14, 7, 9, 500000)},
        {"2025-03-05 14:07:09.25", at(2025, 3, 5, 14, 7, 9, 250000)},
        {"2025-03-05T14:07:09.1234567", at(2025, 3, 5, 14, 7, 9, 123456)},
        {"2024-02-29 00:00:00", at(2024, 2, 29)},
        // Not dates.
        {"", std::nullopt},
        {" \t ", std::nullopt},
        {"вчера", std::nullopt},
        {"31.02.2025 10:00:00", std::nullopt},
        {"29.02.2025 10:00:00", std::nullopt},
        {"05.03.2025 24:00:00", std::nullopt},
        {"05.03.2025 14:60:00", std::nullopt},
        {"05.03.25 14:07:09", std::nullopt},
        {"05.03.2025", std::nullopt},
        {"2025-03-05T14:07:09 x", std::nullopt},
        {"2025-03-05T14:07:09+24:00", std::nullopt},
        {"2025-03-05X14:07:09", std::nullopt},
        {"2025-3-5T1:2", std::nullopt},
        {"0000-01-01", std::nullopt},
        {"2025-03-05T", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(show(history::parse_history_datetime(c.text)), show(c.want)) << "text: \"" << c.text << "\"";
}

TEST(HistoryDate, UtcAndOffsetsBecomeLocalTime) {
    TimeZone tz("<+05>-5");  // five hours east of UTC, no daylight saving
    struct Case {
        const char* text;
        LocalTime want;
    };
    const Case cases[] = {
        {"2025-03-05T14:07:09Z", at(2025, 3, 5, 19, 7, 9)},
        {"2025-03-05T14:07:09.250Z", at(2025, 3, 5, 19, 7, 9, 250000)},
        {"2025-03-05 14:07:09+03:00", at(2025, 3, 5, 16, 7, 9)},
        {"2025-03-05T23:30:00-0100", at(2025, 3, 6, 5, 30)},
        {"2025-03-05T14:07:09+05", at(2025, 3, 5, 14, 7, 9)},
        {"2025-12-31T20:00:00.5-00:30", at(2026, 1, 1, 1, 30, 0, 500000)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(show(history::parse_history_datetime(c.text)), show(c.want)) << "text: " << c.text;
}

TEST(HistoryDate, UtcToLocalFollowsDaylightSaving) {
    TimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");  // Central European rules
    const auto utc = [](int y, unsigned mo, unsigned d, int h, int mi, int s) {
        return chr::sys_time<chr::microseconds>{chr::sys_days{chr::year{y} / mo / d}} + chr::hours{h} +
               chr::minutes{mi} + chr::seconds{s} + chr::microseconds{7};
    };
    EXPECT_EQ(show(history::detail::utc_to_local(utc(2025, 1, 15, 12, 0, 0))), show(at(2025, 1, 15, 13, 0, 0, 7)));
    EXPECT_EQ(show(history::detail::utc_to_local(utc(2025, 7, 15, 12, 0, 0))), show(at(2025, 7, 15, 14, 0, 0, 7)));
    // The clocks go forward at 01:00 UTC on the last Sunday of March (30 March 2025).
    EXPECT_EQ(show(history::detail::utc_to_local(utc(2025, 3, 30, 0, 59, 59))), show(at(2025, 3, 30, 1, 59, 59, 7)));
    EXPECT_EQ(show(history::detail::utc_to_local(utc(2025, 3, 30, 1, 0, 0))), show(at(2025, 3, 30, 3, 0, 0, 7)));
    // Before 1970 as well.
    EXPECT_EQ(show(history::detail::utc_to_local(utc(1969, 12, 31, 23, 30, 0))), show(at(1970, 1, 1, 0, 30, 0, 7)));
    EXPECT_EQ(show(history::parse_history_datetime("2025-10-26T00:30:00Z")), show(at(2025, 10, 26, 2, 30)));
    EXPECT_EQ(show(history::parse_history_datetime("2025-10-26T01:30:00Z")), show(at(2025, 10, 26, 2, 30)));
}

TEST(HistoryDate, FormatDropsFractions) {
    EXPECT_EQ(history::format_history_datetime(at(2025, 3, 5, 14, 7, 9, 250000)), "05.03.2025 14:07:09");
    EXPECT_EQ(history::format_history_datetime(at(987, 12, 1, 0, 0, 0, 999999)), "01.12.0987 00:00:00");
}

// --- CSV reader ----------------------------------------------------------------------

using Rows = std::vector<std::vector<std::string>>;

Rows read_csv(std::string_view text) {
    history::CsvReader reader(text);
    Rows rows;
    std::span<const std::string> fields;
    while (reader.next(fields)) rows.emplace_back(fields.begin(), fields.end());
    return rows;
}

TEST(HistoryCsv, ReadsRecords) {
    struct Case {
        std::string_view text;
        Rows want;
    };
    const Case cases[] = {
        {"a;b\r\nc;d\r\n", {{"a", "b"}, {"c", "d"}}},
        {"a;b\nc;d", {{"a", "b"}, {"c", "d"}}},
        {"a;b\rc;d\r", {{"a", "b"}, {"c", "d"}}},
        {"\xEF\xBB\xBF"
         "a;b\r\n",
         {{"a", "b"}}},
        {"a\r\n\r\n\nb", {{"a"}, {}, {}, {"b"}}},
        {"a;;\r\n;", {{"a", "", ""}, {"", ""}}},
        {"\"x;y\";\"say \"\"hi\"\"\";\"two\r\nlines\"\r\nz", {{"x;y", "say \"hi\"", "two\r\nlines"}, {"z"}}},
        {"\"\";\"\"\"\"", {{"", "\""}}},
        {"ab\"c;d\"", {{"ab\"c", "d\""}}},  // a quote inside a bare field is text
        {"", {}},
        {"\xEF\xBB\xBF", {}},
        // A mark at the start of any record is skipped; inside a quoted field it is text.
        {"a\r\n\xEF\xBB\xBF"
         "b;c\r\n\"\xEF\xBB\xBF"
         "d\"",
         {{"a"},
          {"b", "c"},
          {"\xEF\xBB\xBF"
           "d"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(read_csv(c.text), c.want) << "text: " << c.text;
}

TEST(HistoryCsv, ReadGoesOnAtTheLineAfterADamagedRecord) {
    struct Case {
        std::string_view text;
        std::vector<std::string> got;  // "!" for a damaged record, else the first field
    };
    const Case cases[] = {
        {"\"open;1\r\nb;2\r\n", {"!", "b"}},
        {"a;\"x\"y\nb;2", {"!", "b"}},
        {"a;1\r\"x\" ;y\rc;3", {"a", "!", "c"}},
        {"\"", {"!"}},
    };
    for (const Case& c : cases) {
        history::CsvReader reader(c.text);
        std::span<const std::string> fields;
        std::vector<std::string> got;
        for (history::CsvReader::Read r; (r = reader.read(fields)) != history::CsvReader::Read::end;)
            got.push_back(r == history::CsvReader::Read::damaged ? "!" : fields.empty() ? "" : fields[0]);
        EXPECT_EQ(got, c.got) << "text: " << c.text;
    }
}

TEST(HistoryCsv, RejectsMalformedQuotes) {
    for (std::string_view text : {"a;\"open", "\"ab\"c;d", "a;b\r\n\"x\" ;y", "\"a\"\"", "\""})
        EXPECT_THROW(read_csv(text), diag::RuntimeError) << "text: " << text;
}

// --- reading history files -----------------------------------------------------------

TEST(HistoryMerge, ReadsEveryFormOfRow) {
    fixtures::TempDir dir;
    const fs::path file = dir / "h.csv";
    write_bytes(file,
                "FILE_NAME;date\n"                   // English header, any case
                "Заказ 1.PDF;05.03.2025 14:07:09\n"  // old two-column row
                "b.pdf;2025-03-05 10:00:00;" +
                    KEY_A +
                    ";4\n"
                    "ИМЯ PDF;Дата и время обработки;Признак;Раскладка\n"  // header again, mid-file
                    "Filename;x\n"
                    "dir\\sub/c.pdf ; 2025-03-05T11:00:00 ;  " +
                    KEY_B +
                    "  ; +6 \n"
                    "d.pdf;2025-03-05 12:00:00;  ;x\n"  // empty key, bad layout
                    "only-one-field\n"
                    ";2025-03-05 12:00:00;k1;4\n"                   // no name
                    "e.pdf;вчера;k2;4\n"                            // no date
                    "f.pdf;2025-03-05 12:00:00;k3;99999999999\n");  // layout out of range
    const history::History h = merged(file);

    ASSERT_EQ(h.size(), 5u);
    const history::Record& legacy = h.at("заказ 1.pdf");
    EXPECT_EQ(legacy.name, "Заказ 1.PDF");
    EXPECT_EQ(legacy.processed_at, at(2025, 3, 5, 14, 7, 9));
    EXPECT_EQ(legacy.nup, 0);
    EXPECT_EQ(h.at(KEY_A).name, "b.pdf");
    EXPECT_EQ(h.at(KEY_A).nup, 4);
    EXPECT_EQ(h.at(KEY_B).name, "c.pdf");
    EXPECT_EQ(h.at(KEY_B).processed_at, at(2025, 3, 5, 11));
    EXPECT_EQ(h.at(KEY_B).nup, 6);
    EXPECT_EQ(h.at("d.pdf").nup, 0);
    EXPECT_EQ(h.at("k3").nup, 0);
}

TEST(HistoryMerge, DuplicateKeysKeepTheLatestThenTheFirst) {
    fixtures::TempDir dir;
    const fs::path file = dir / "h.csv";
    write_bytes(file,
                "old.pdf;05.03.2025 10:00:00;k;1\n"
                "new.pdf;05.03.2025 12:00:00;k;4\n"
                "older.pdf;05.03.2025 09:00:00;k;6\n"
                "first.pdf;06.03.2025 08:00:00;e;1\n"
                "second.pdf;06.03.2025 08:00:00;e;9\n");
    history::History h;
    h["k"] = {"in-memory.pdf", at(2025, 3, 5, 11), 9};  // merging adds to what is there
    history::detail::merge_history_csv(file, h);
    EXPECT_EQ(h.at("k").name, "new.pdf");
    EXPECT_EQ(h.at("k").nup, 4);
    EXPECT_EQ(h.at("e").name, "first.pdf");
    EXPECT_EQ(h.at("e").nup, 1);
}

TEST(HistoryMerge, MissingFileChangesNothing) {
    fixtures::TempDir dir;
    history::History h{{"k", {"a.pdf", at(2025, 3, 5), 1}}};
    EXPECT_EQ(history::detail::merge_history_csv(dir / "none.csv", h), 0);
    EXPECT_EQ(h.size(), 1u);
}

// One row of every kind, among good rows, read and written back: a row the file's
// rules pass over leaves no trace, a damaged one is counted (and the file kept as it
// was), and every other row comes back in the rewritten file, extra fields included.
TEST(HistoryRows, EachRowIsKeptPassedOverOrCountedAsDamaged) {
    const std::string good1 = "a.pdf;05.03.2025 10:00:00;ka;4\r\n";
    const std::string good2 = "b.pdf;05.03.2025 11:00:00;kb;4\r\n";
    // Older than three days: the load drops it, and so writes the file back.
    const std::string stale = "old.pdf;01.03.2025 10:00:00;kold;4\r\n";
    const std::string cp1251_header =
        "\xC8\xEC\xFF PDF;\xC4\xE0\xF2\xE0 \xE8 \xE2\xF0\xE5\xEC\xFF "
        "\xEE\xE1\xF0\xE0\xE1\xEE\xF2\xEA\xE8;\xCF\xF0\xE8\xE7\xED\xE0\xEA;"
        "\xD0\xE0\xF1\xEA\xEB\xE0\xE4\xEA\xE0\r\n";
    const std::string cp866_header =
        "\x88\xAC\xEF PDF;\x84\xA0\xE2\xA0 \xA8 \xA2\xE0\xA5\xAC\xEF "
        "\xAE\xA1\xE0\xA0\xA1\xAE\xE2\xAA\xA8;\x8F\xE0\xA8\xA7\xAD\xA0\xAA;"
        "\x90\xA0\xE1\xAA\xAB\xA0\xA4\xAA\xA0\r\n";
    struct Case {
        const char* what;
        std::string row;
        int damaged;
        std::string written;  // the row as written back; empty when it is left out
    };
    const Case cases[] = {
        {"four fields", "x.pdf;05.03.2025 10:30:00;kx;4\r\n", 0, "x.pdf;05.03.2025 10:30:00;kx;4\r\n"},
        {"five fields", "x.pdf;05.03.2025 10:30:00;kx;4;напечатано\r\n", 0,
         "x.pdf;05.03.2025 10:30:00;kx;4;напечатано\r\n"},
        {"extra fields quoted and empty", "x.pdf;2025-03-05 10:30:00;kx;;\"a;b\";;\"say \"\"hi\"\"\"\r\n", 0,
         "x.pdf;05.03.2025 10:30:00;kx;;\"a;b\";;\"say \"\"hi\"\"\"\r\n"},
        {"two fields", "Заказ 1.PDF;05.03.2025 10:30:00\n", 0, "Заказ 1.PDF;05.03.2025 10:30:00;заказ 1.pdf;\r\n"},
        {"a record after a byte-order mark", "\xEF\xBB\xBFx.pdf;05.03.2025 10:30:00;kx;4\r\n", 0,
         "x.pdf;05.03.2025 10:30:00;kx;4\r\n"},
        {"a header word with a date names a waybill", "filename;05.03.2025 10:30:00;kx;4\r\n", 0,
         "filename;05.03.2025 10:30:00;kx;4\r\n"},
        // Found by fuzzing: the key made of this name read back otherwise than written.
        {"a name whose normal form starts with a blank",
         "\xC2\xA8"
         "a.pdf;05.03.2025 10:30:00\r\n",
         0,
         "\xC2\xA8"
         "a.pdf;05.03.2025 10:30:00;\xCC\x88"
         "a.pdf;\r\n"},
        {"one field", "x.pdf\r\n", 0, ""},
        {"a folder's name only", "dir/;05.03.2025 10:30:00;kx;4\r\n", 0, ""},
        {"no name", " ;05.03.2025 10:30:00;kx;4\r\n", 0, ""},
        {"no date", "x.pdf;вчера;kx;4;extra\r\n", 0, ""},
        {"empty lines", "\r\n \r\n\n", 0, ""},
        {"header in English, any case", "FILE_NAME;date\r\n", 0, ""},
        {"header after a byte-order mark (two files joined)",
         std::string(BOM) + "Имя PDF;Дата и время обработки;Признак;Раскладка\r\n", 0, ""},
        {"header in CP1251", cp1251_header, 0, ""},
        {"header in CP866", cp866_header, 0, ""},
        {"name in CP1251", "\xC7\xE0\xEA\xE0\xE7.pdf;05.03.2025 10:30:00;kx;4\r\n", 1, ""},
        {"not UTF-8", "x.pdf;05.03.2025 10:30:00;kx;4;Caf\xE9\r\n", 1, ""},
        {"unclosed quote", "\"x.pdf;05.03.2025 10:30:00;kx;4\r\n", 1, ""},
        {"quote running over the lines after it", "x.pdf;05.03.2025 10:30:00;\"kx;4\r\n", 1, ""},
        {"text after a closing quote", "x.pdf;05.03.2025 10:30:00;\"kx\"y;4\r\n", 1, ""},
        {"two damaged", "\"x;1\r\nCaf\xE9;2\r\n", 2, ""},
    };
    for (const Case& c : cases) {
        for (const std::string& text : {good1 + c.row + good2 + stale, c.row + good1 + good2 + stale,
                                        std::string(BOM) + std::string(HEADER) + good1 + good2 + stale + c.row}) {
            SCOPED_TRACE(std::string(c.what) + ": " + text);
            fixtures::TempDir dir;
            write_bytes(dir / "waybill_history.csv", text);
            const history::Loaded loaded = history::load_history(dir.path(), at(2025, 3, 6));
            EXPECT_EQ(loaded.skipped, c.damaged);
            EXPECT_EQ(loaded.damaged_copy.has_value(), c.damaged > 0);
            EXPECT_EQ(loaded.history.size(), c.written.empty() ? 2u : 3u);
            EXPECT_EQ(read_bytes(dir / "waybill_history.csv"),
                      std::string(BOM) + std::string(HEADER) + good2 + c.written + good1);
        }
    }
}

// A waybill recorded again keeps the fields its row had after ours.
TEST(HistoryRows, RecordingAgainKeepsTheExtraFields) {
    fixtures::TempDir dir;
    write_bytes(dir / "waybill_history.csv", "x.pdf;05.03.2025 10:30:00;" + KEY_A + ";4;напечатано;\"a;b\"\r\n");
    history::record_processed_waybills(dir.path(), {{KEY_A, "x.pdf"}, {KEY_B, "y.pdf"}}, 6, at(2025, 3, 6, 9));
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"),
              std::string(BOM) + std::string(HEADER) + "y.pdf;06.03.2025 09:00:00;" + KEY_B + ";6\r\n" +
                  "x.pdf;06.03.2025 09:00:00;" + KEY_A + ";6;напечатано;\"a;b\"\r\n");
}

// --- saving and loading --------------------------------------------------------------

TEST(HistoryFile, SaveWritesTheExactLayout) {
    fixtures::TempDir dir;
    const LocalTime t1 = at(2025, 3, 5, 14, 7, 9, 250000);
    const LocalTime t0 = at(2025, 3, 4, 9, 0, 0);
    const history::History h{
        {"k1", {"b.pdf", t1, 4}},
        {"k2", {"A.pdf", t1, 1}},
        {"k3", {"C.pdf", t1, 0}},
        {"k4", {"x;y.pdf", t0, 9}},
        {"k5", {"say \"hi\".pdf", at(2025, 3, 5, 14, 7, 10), 6}},
    };
    history::save_waybill_history(dir.path(), h);
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"), std::string(BOM) + std::string(HEADER) +
                                                           "\"say \"\"hi\"\".pdf\";05.03.2025 14:07:10;k5;6\r\n"
                                                           "C.pdf;05.03.2025 14:07:09;k3;\r\n"
                                                           "b.pdf;05.03.2025 14:07:09;k1;4\r\n"
                                                           "A.pdf;05.03.2025 14:07:09;k2;1\r\n"
                                                           "\"x;y.pdf\";04.03.2025 09:00:00;k4;9\r\n");
    EXPECT_FALSE(fs::exists(dir / "waybill_history.tmp"));
}

TEST(HistoryFile, RoundTripKeepsNamesKeysAndLayouts) {
    fixtures::TempDir dir;
    const LocalTime now = at(2025, 3, 5, 18);
    history::History h;
    const char* names[] = {"Заказ 1.pdf",
                           "a;b.pdf",
                           "\"quoted\".pdf",
                           "semi;\"both\";.pdf",
                           "Ü.PDF",
                           " x",
                           "\xEF\xBB\xBF"
                           "mark.pdf"};
    int i = 0;
    for (const char* name : names) {
        h[history::history_key(name, "content", 4)] = {name, now - chr::hours{i}, i % 2 == 0 ? 4 : 0};
        ++i;
    }
    h["legacy.pdf"] = {"Legacy.pdf", now - chr::days{2}, 0};
    history::save_waybill_history(dir.path(), h);
    history::History back = history::load_history(dir.path(), now).history;

    // Names come back trimmed; everything else as saved.
    h[history::history_key(" x", "content", 4)].name = "x";
    ASSERT_EQ(back.size(), h.size());
    for (const auto& [key, record] : h) {
        ASSERT_TRUE(back.contains(key)) << record.name;
        EXPECT_EQ(back.at(key).name, record.name);
        EXPECT_EQ(back.at(key).processed_at, record.processed_at);
        EXPECT_EQ(back.at(key).nup, record.nup);
    }
}

TEST(HistoryFile, FirstLoadCreatesAHeaderOnlyFile) {
    fixtures::TempDir dir;
    EXPECT_TRUE(history::load_history(dir.path(), at(2025, 3, 5)).history.empty());
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"), std::string(BOM) + std::string(HEADER));
}

TEST(HistoryFile, LoadPrunesAtTheThreeDayEdge) {
    fixtures::TempDir dir;
    const LocalTime now = at(2025, 3, 8, 12, 0, 0);
    write_bytes(dir / "waybill_history.csv",
                "edge.pdf;2025-03-05T12:00:00;edge;1\r\n"
                "past-edge.pdf;2025-03-05T11:59:59.999999;past;1\r\n"
                "two-days.pdf;06.03.2025 12:00:00;two;4\r\n"
                "four-days.pdf;04.03.2025 12:00:00;four;4\r\n");
    const history::History h = history::load_history(dir.path(), now).history;
    EXPECT_EQ(h.size(), 2u);
    EXPECT_TRUE(h.contains("edge"));
    EXPECT_TRUE(h.contains("two"));
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"), std::string(BOM) + std::string(HEADER) +
                                                           "two-days.pdf;06.03.2025 12:00:00;two;4\r\n"
                                                           "edge.pdf;05.03.2025 12:00:00;edge;1\r\n");
}

TEST(HistoryFile, LoadWithoutChangesLeavesTheFileAlone) {
    fixtures::TempDir dir;
    // No byte-order mark, LF line ends, an ISO date: a rewrite would change all three.
    const std::string text = "a.pdf;2025-03-07T10:00:00;k;4\nb.pdf;07.03.2025 11:00:00\n";
    write_bytes(dir / "waybill_history.csv", text);
    const history::History h = history::load_history(dir.path(), at(2025, 3, 8)).history;
    EXPECT_EQ(h.size(), 2u);
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"), text);
}

TEST(HistoryFile, DamagedRecordsAreSkippedAndTheFileIsKeptAsItWas) {
    fixtures::TempDir dir;
    const fs::path csv = dir / "waybill_history.csv";
    write_bytes(dir / "waybill_history.csv.bad", "an older copy");
    const std::string first = "a.pdf;05.03.2025 10:00:00;ka;4\r\n\"b.pdf;05.03.2025 10:00:00;kb;4\r\n";
    write_bytes(csv, first);
    fixtures::RecordingRenamer renamer;
    const history::Loaded loaded = history::load_history(dir.path(), at(2025, 3, 6), renamer);
    // The copy is on disk, its name synced, before the file it keeps is replaced (each
    // written under a temporary name beside the first copy's or the file's own).
    const std::string folder = dir.path().filename().string();
    EXPECT_EQ(renamer.steps, (std::vector<std::string>{
                                 "flush waybill_history.csv.bad", "rename waybill_history.csv.2.bad", "sync " + folder,
                                 "flush waybill_history.csv", "rename waybill_history.csv", "sync " + folder}));
    EXPECT_EQ(loaded.skipped, 1);
    EXPECT_EQ(loaded.history.size(), 1u);
    EXPECT_EQ(loaded.history.count("ka"), 1u);
    ASSERT_TRUE(loaded.damaged_copy);
    EXPECT_EQ(*loaded.damaged_copy, dir / "waybill_history.csv.2.bad");
    EXPECT_EQ(read_bytes(*loaded.damaged_copy), first);
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv.bad"), "an older copy");
    // The file written back holds the good record, and reads clean.
    EXPECT_EQ(read_bytes(csv), std::string(BOM) + std::string(HEADER) + "a.pdf;05.03.2025 10:00:00;ka;4\r\n");
    EXPECT_EQ(history::load_history(dir.path(), at(2025, 3, 6)).skipped, 0);

    // A second damage gets a copy of its own.
    const std::string second = "c.pdf;05.03.2025 10:00:00;kc;4\r\nCaf\xE9.pdf;x\r\n";
    write_bytes(csv, second);
    const history::Loaded again = history::load_history(dir.path(), at(2025, 3, 6));
    EXPECT_EQ(again.skipped, 1);
    EXPECT_EQ(again.history.count("kc"), 1u);
    ASSERT_TRUE(again.damaged_copy);
    EXPECT_EQ(*again.damaged_copy, dir / "waybill_history.csv.3.bad");
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv.3.bad"), second);
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv.2.bad"), first);
}

TEST(HistoryFile, LoadAndSaveNeverTouchAnotherJobsTemporaryFile) {
    fixtures::TempDir dir;
    history::save_waybill_history(dir.path(), {{"k", {"a.pdf", at(2025, 3, 5), 4}}});
    // Another job is saving right now: its temporary file is claimed and half written.
    platform::ClaimedFile other = platform::reserve_claimed_sibling(dir / "waybill_history.csv", ".tmp");
    write_bytes(other.path, "half a hist");
    EXPECT_EQ(history::load_history(dir.path(), at(2025, 3, 6)).history.size(), 1u);
    history::save_waybill_history(dir.path(), {{"k2", {"b.pdf", at(2025, 3, 6), 4}}});
    EXPECT_EQ(read_bytes(other.path), "half a hist");
    EXPECT_EQ(history::load_history(dir.path(), at(2025, 3, 6)).history.count("k2"), 1u);
}

TEST(HistoryFile, FailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    fixtures::TempDir dir;
    // A folder in the history file's place: the final rename cannot replace it.
    write_bytes(dir / "waybill_history.csv" / "keep.txt", "old content");
    try {
        history::save_waybill_history(dir.path(), {{"k", {"a.pdf", at(2025, 3, 5), 4}}});
        ADD_FAILURE() << "no failure";
    } catch (const diag::RuntimeError& e) {
        ASSERT_NE(e.text(), nullptr);
        EXPECT_EQ(e.text()->key, "history_save_failed");
        EXPECT_EQ(e.text()->values.at(0).second, utf8(dir / "waybill_history.csv"));
    }
    EXPECT_EQ(fixtures::names_in(dir.path()), std::set<std::string>{"waybill_history.csv"});
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv" / "keep.txt"), "old content");

    // A disk that fills while the new file is written: the old one stays whole.
    fixtures::TempDir dir2;
    const std::string old = "a.pdf;05.03.2025 10:00:00;k;4\r\n";
    write_bytes(dir2 / "waybill_history.csv", old);
    history::History big;
    for (int i = 0; i < 200; ++i) {
        const std::string n = std::to_string(i);
        big[std::string("k").append(n)] = {std::string("w").append(n).append(".pdf"), at(2025, 3, 5), 4};
    }
    const std::string outcome = fixtures::run_in_child([&] {
        fixtures::limit_file_size(1000);
        try {
            history::save_waybill_history(dir2.path(), big);
            return std::string("saved");
        } catch (const diag::RuntimeError& e) {
            return e.text() ? e.text()->key + " " + e.text()->advice : std::string(e.what());
        }
    });
    EXPECT_EQ(outcome, "history_save_failed fs_disk_full");
    EXPECT_EQ(read_bytes(dir2 / "waybill_history.csv"), old);
    EXPECT_EQ(fixtures::names_in(dir2.path()), std::set<std::string>{"waybill_history.csv"});
}

TEST(HistoryFile, AFileThatCannotBeReadIsNeitherForgottenNorReplaced) {
    fixtures::TempDir dir;
    history::save_waybill_history(dir.path(), {{"k", {"a.pdf", at(2025, 3, 5), 4}}});
    const std::string saved = read_bytes(dir / "waybill_history.csv");
    fs::permissions(dir.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(dir / "waybill_history.csv", fs::perms::none);
    const std::string outcome = fixtures::run_in_child([&] {
        if (!fixtures::drop_root()) return std::string("skip");
        try {
            history::load_history(dir.path(), at(2025, 3, 6)).history;
            return std::string("loaded");
        } catch (const diag::RuntimeError& e) {
            return e.text() ? e.text()->key + " " + e.text()->advice : std::string(e.what());
        }
    });
    fs::permissions(dir / "waybill_history.csv", fs::perms::owner_read | fs::perms::owner_write);
    if (outcome == "skip") GTEST_SKIP() << "cannot run as an unprivileged user";
    EXPECT_EQ(outcome, "history_read_failed fs_no_access");
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"), saved);
    EXPECT_FALSE(fs::exists(dir / "waybill_history.csv.bad"));
}

TEST(HistoryLock, OneJobAtATimeAndAKilledHolderFreesIt) {
    fixtures::TempDir dir;
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const history::HistoryLock lock = history::lock_history(dir.path());
        write_bytes(dir / "held", "");
        for (;;) ::pause();
    }
    while (!fs::exists(dir / "held")) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::atomic<bool> mine{false};
    std::thread job([&] {
        const history::HistoryLock lock = history::lock_history(dir.path());
        mine = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(mine);
    // Held past the wait: refused, naming the lock file.
    try {
        history::lock_history(dir.path(), std::chrono::milliseconds(100));
        ADD_FAILURE() << "no failure";
    } catch (const diag::RuntimeError& e) {
        ASSERT_NE(e.text(), nullptr);
        EXPECT_EQ(e.text()->key, "history_lock_busy");
        EXPECT_EQ(e.text()->values.at(0).second, platform::utf8(history::history_lock_path(dir.path())));
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    job.join();
    EXPECT_TRUE(mine);
    // A folder where the lock cannot be made says which history it is about.
    try {
        history::lock_history(dir / "no such folder");
        ADD_FAILURE() << "no failure";
    } catch (const diag::RuntimeError& e) {
        ASSERT_NE(e.text(), nullptr);
        EXPECT_EQ(e.text()->key, "history_lock_failed");
        EXPECT_EQ(e.text()->advice, "fs_not_found");
    }
}

// --- recording -----------------------------------------------------------------------

TEST(HistoryRecord, RecordsEveryWaybillWithTheLayoutAndTime) {
    fixtures::TempDir dir;
    const fs::path app = dir / "app";
    fs::create_directories(app);
    write_bytes(app / "waybill_history.csv", "stale.pdf;01.03.2025 10:00:00;stale;1\r\n");
    // Keys as a job makes them: the waybill's name, its bytes' digest and the layout.
    const auto entries = [](int nup) {
        return std::vector<history::Entry>{{history::history_key("Заказ 1.pdf", "one", nup), "in/Заказ 1.pdf"},
                                           {history::history_key("Заказ 2.pdf", "two", nup), "Заказ 2.pdf"}};
    };

    const LocalTime t1 = at(2025, 3, 5, 10, 0, 0, 123);
    history::record_processed_waybills(app, entries(1), 1, t1);
    history::History h = history::load_history(app, t1).history;
    ASSERT_EQ(h.size(), 2u);  // the stale entry is pruned
    const history::Record& r = h.at(history::history_key("Заказ 1.pdf", "one", 1));
    EXPECT_EQ(r.name, "Заказ 1.pdf") << "the last path component only";
    EXPECT_EQ(r.processed_at, at(2025, 3, 5, 10));  // the file keeps whole seconds
    EXPECT_EQ(r.nup, 1);

    // The same waybills in another layout are new entries; in the same layout they are replaced.
    const LocalTime t2 = at(2025, 3, 5, 11);
    history::record_processed_waybills(app, entries(4), 4, t2);
    history::record_processed_waybills(app, {entries(1)[0]}, 1, t2);
    h = history::load_history(app, t2).history;
    EXPECT_EQ(h.size(), 4u);
    EXPECT_EQ(h.at(history::history_key("Заказ 1.pdf", "one", 1)).processed_at, t2);
    EXPECT_EQ(h.at(history::history_key("Заказ 2.pdf", "two", 1)).processed_at, at(2025, 3, 5, 10));
    EXPECT_EQ(h.at(history::history_key("Заказ 2.pdf", "two", 4)).nup, 4);
}

TEST(HistoryRecord, EqualTimesSortByFoldedNameDescending) {
    fixtures::TempDir dir;
    const LocalTime t = at(2025, 3, 5, 10);
    history::record_processed_waybills(dir.path(), {{KEY_A, "dir/ Заказ.pdf "}, {KEY_B, "b.pdf"}}, 6, t);
    // Cyrillic letters sort after Latin ones; blanks around the name are trimmed.
    EXPECT_EQ(read_bytes(dir / "waybill_history.csv"), std::string(BOM) + std::string(HEADER) +
                                                           "Заказ.pdf;05.03.2025 10:00:00;" + KEY_A + ";6\r\n" +
                                                           "b.pdf;05.03.2025 10:00:00;" + KEY_B + ";6\r\n");

    // Fractions of a second, which the file does not keep, do not order rows: a file read
    // and saved twice is the same file.
    history::History read;
    history::detail::merge_history_text(std::string(HEADER) + "a.pdf;2025-03-05T10:00:00.9;" + KEY_A + ";6\r\n" +
                                            "b.pdf;2025-03-05T10:00:00.1;" + KEY_B + ";6\r\n",
                                        read);
    const std::string saved = history::detail::history_text(read);
    EXPECT_EQ(saved, std::string(BOM) + std::string(HEADER) + "b.pdf;05.03.2025 10:00:00;" + KEY_B + ";6\r\n" +
                         "a.pdf;05.03.2025 10:00:00;" + KEY_A + ";6\r\n");
}

}  // namespace
