// The error log: the entry's exact lines, CR LF line breaks, appending, trimming at and
// around the size limit, and a log that cannot be written.
#include "diag/error_log.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include "diag/errors.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using fixtures::read_bytes;
using fixtures::write_bytes;

constexpr std::string_view STAMP = "2024-05-15 09:30:05";
// Any program name and version: the entry takes it as given.
constexpr std::string_view APP = "Tarvo PDF Mergalo 1.2.3.4";

TEST(ErrorEntry, WithoutExtraOrFailureHasOnlyTheFrame) {
    EXPECT_EQ(diag::format_error_entry("Не удалось обновить язык меню правой кнопки", nullptr, "", STAMP, APP),
              "\n===== ERROR 2024-05-15 09:30:05 =====\n"
              "App: Tarvo PDF Mergalo 1.2.3.4\n"
              "Title: Не удалось обновить язык меню правой кнопки\n"
              "===== END ERROR =====\n");
}

TEST(ErrorEntry, ExtraAndFailureWithTheirSourceLocation) {
    const diag::FileNotFound failure("ZIP-файл не найден:\nC:\\Заказы\\day.zip");
    const std::string where = std::string(failure.where().file_name()) + ":" + std::to_string(failure.where().line());
    // Relative to the source root: the build machine's folders are no business of a log.
    EXPECT_TRUE(where.starts_with("tests/diag/error_log_test.cpp:")) << where;
    const std::string entry =
        diag::format_error_entry("Ошибка при создании PDF.", &failure, "ZIP: C:\\Заказы\\day.zip\nNUP: 4", STAMP, APP);
    const std::string head =
        "\n===== ERROR 2024-05-15 09:30:05 =====\n"
        "App: Tarvo PDF Mergalo 1.2.3.4\n"
        "Title: Ошибка при создании PDF.\n"
        "Extra:\nZIP: C:\\Заказы\\day.zip\nNUP: 4\n"
        "Exception:\nZIP-файл не найден:\nC:\\Заказы\\day.zip\n"
        "Traceback:\n  at " +
        where + " in ";
    ASSERT_EQ(entry.substr(0, head.size()), head);
    EXPECT_NE(entry.find("ExtraAndFailureWithTheirSourceLocation", head.size()), std::string::npos)
        << "the function that raised it is named: " << entry;
    // The location line ends with a line break, and an empty line follows it.
    EXPECT_TRUE(entry.ends_with("\n\n===== END ERROR =====\n")) << entry;
    EXPECT_EQ(std::count(entry.begin() + static_cast<std::ptrdiff_t>(head.size()), entry.end(), '\n'), 3);
}

TEST(ErrorEntry, OtherExceptionsSayNoLocationIsKnown) {
    const std::out_of_range failure("index 7");
    const std::string entry = diag::format_error_entry("T", &failure, "", STAMP, APP);
    EXPECT_NE(entry.find("Exception:\nindex 7\nTraceback:\n  (no source location recorded; std::out_of_range)\n\n"
                         "===== END ERROR =====\n"),
              std::string::npos)
        << entry;
}

class ErrorLog : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    diag::ErrorLog error_log{dir / "program" / "logs", std::string(APP)};
    fs::path log() const { return dir / "program" / "logs" / "error.log"; }
};

TEST_F(ErrorLog, PathIsInItsFolderWhichItCreates) {
    EXPECT_FALSE(fs::exists(log().parent_path()));
    EXPECT_EQ(error_log.path(), log());
    EXPECT_TRUE(fs::is_directory(log().parent_path()));
}

TEST_F(ErrorLog, EntriesAreAppendedWithCrLfLineBreaks) {
    const diag::RuntimeError failure("В архиве не найдено PDF-файлов");
    EXPECT_EQ(error_log.write("Первая", &failure, "ZIP: a.zip\r\nNUP: 1"), log());
    EXPECT_EQ(error_log.write("Вторая"), log());
    const std::string bytes = read_bytes(log());

    // No bare line feed and no bare carriage return anywhere.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
        } else if (bytes[i] == '\r') {
            ASSERT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n') << "bare CR at " << i;
        }
    }
    ASSERT_TRUE(bytes.starts_with("\r\n===== ERROR ")) << bytes;
    // "YYYY-MM-DD HH:MM:SS" local time in the header.
    const std::string stamp = bytes.substr(14, 19);
    for (std::size_t i : {4u, 7u}) EXPECT_EQ(stamp[i], '-') << stamp;
    EXPECT_EQ(stamp[10], ' ');
    EXPECT_EQ(stamp.substr(13, 1) + stamp.substr(16, 1), "::") << stamp;
    EXPECT_TRUE(
        bytes.substr(33).starts_with(" =====\r\nApp: Tarvo PDF Mergalo 1.2.3.4\r\nTitle: Первая\r\n"
                                     "Extra:\r\nZIP: a.zip\r\nNUP: 1\r\nException:\r\n"
                                     "В архиве не найдено PDF-файлов\r\nTraceback:\r\n  at "))
        << bytes;
    // The second entry follows after one empty line and has no failure part.
    const auto second = bytes.find("\r\n\r\n===== ERROR ");
    ASSERT_NE(second, std::string::npos);
    EXPECT_TRUE(bytes.substr(second).ends_with("Title: Вторая\r\n===== END ERROR =====\r\n")) << bytes;
    EXPECT_EQ(bytes.find("===== END ERROR =====\r\n"), second - std::string("===== END ERROR =====").size());
}

TEST_F(ErrorLog, AnUnwritableLogFailsWithTheFileNamed) {
    // A file where the logs folder should be.
    write_bytes(log().parent_path(), "not a folder");
    try {
        error_log.write("T");
        FAIL() << "the log was written nowhere";
    } catch (const diag::RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("logs"), std::string::npos) << e.what();
    }
    fs::remove(log().parent_path());
    // A folder where the log file should be.
    fs::create_directories(log());
    try {
        error_log.write("T");
        FAIL() << "the log was written nowhere";
    } catch (const diag::RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("error.log"), std::string::npos) << e.what();
    }
}

// A log of whole entries, each `size` bytes long with CR LF line breaks, as
// write_error_log writes them; its total is a multiple of `size`.
std::string entries(std::size_t count, std::size_t size, char fill) {
    std::string one = "\r\n===== ERROR 2024-05-15 09:30:05 =====\r\nTitle: ";
    const std::string end = "\r\n===== END ERROR =====\r\n";
    one += std::string(size - one.size() - end.size(), fill) + end;
    std::string all;
    for (std::size_t i = 0; i < count; ++i) all += one;
    return all;
}

TEST(TrimLog, AtAndAroundTheLimit) {
    fixtures::TempDir dir;
    const fs::path log = dir / "error.log";
    constexpr std::uintmax_t MAX = diag::LOG_MAX_BYTES;

    // Exactly at the limit: untouched.
    const std::string at_limit = entries(MAX / 1024, 1024, 'a');
    write_bytes(log, at_limit);
    diag::trim_log_file(log);
    EXPECT_EQ(read_bytes(log), at_limit);

    // One byte over: only the first byte (the CR opening the first entry) goes; the
    // tail then starts with the header's LF, found at position 0, so nothing more goes.
    write_bytes(log, at_limit + "x");
    diag::trim_log_file(log);
    EXPECT_EQ(read_bytes(log), at_limit.substr(1) + "x");

    // 400000 bytes of many entries: the last 307200 bytes, cut to the first header.
    const std::string many = entries(400, 1000, 'b');
    write_bytes(log, many);
    diag::trim_log_file(log);
    const std::string tail = many.substr(many.size() - MAX);
    const std::string kept = tail.substr(tail.find("\n===== ERROR ") + 1);
    EXPECT_EQ(read_bytes(log), kept);
    EXPECT_TRUE(kept.starts_with("===== ERROR "));
    EXPECT_FALSE(fs::exists(dir / "error.tmp"));

    // One entry longer than the limit: no header in the tail, the tail stays as it is.
    const std::string huge = entries(1, 400000, 'c');
    write_bytes(log, huge);
    diag::trim_log_file(log);
    EXPECT_EQ(read_bytes(log), huge.substr(huge.size() - MAX));

    // Smaller limits work the same way.
    write_bytes(log, entries(3, 100, 'd'));
    diag::trim_log_file(log, 250);
    EXPECT_EQ(read_bytes(log), entries(2, 100, 'd').substr(2));
}

// A log it cannot trim is left as it is, and nothing is made in its place.
TEST(TrimLog, WhatItCannotTrimStaysAsItIs) {
    fixtures::TempDir dir;
    diag::trim_log_file(dir / "missing.log");
    EXPECT_FALSE(fs::exists(dir / "missing.log"));
    fs::create_directories(dir / "folder.log");
    diag::trim_log_file(dir / "folder.log", 0);
    EXPECT_TRUE(fs::is_directory(dir / "folder.log"));
    EXPECT_EQ(fixtures::names_in(dir.path()), std::set<std::string>{"folder.log"}) << "no temporary file left";
}

// The entry is appended first and the log trimmed after, so a log already at its limit
// ends at or below it, with the new entry last; trimmed first, it would end above.
TEST_F(ErrorLog, WritingTrimsTheLogAfterTheEntry) {
    for (const auto& [count, size] : {std::pair{400u, 1000u}, std::pair{300u, 1024u}}) {
        fs::create_directories(log().parent_path());
        write_bytes(log(), entries(count, size, 'e'));
        error_log.write("Последняя");
        const std::string bytes = read_bytes(log());
        EXPECT_LE(bytes.size(), diag::LOG_MAX_BYTES) << count << " entries of " << size;
        EXPECT_TRUE(bytes.starts_with("===== ERROR ")) << bytes.substr(0, 40);
        EXPECT_TRUE(bytes.ends_with("Title: Последняя\r\n===== END ERROR =====\r\n"));
    }
}

}  // namespace
