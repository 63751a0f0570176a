// Failures in the user's words: catalogue messages rendered in a language, long names
// cut in the middle, file-system errors turned into advice, and the same kind of error
// thrown again in the user's language.
#include "i18n/messages.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"

namespace {

namespace fs = std::filesystem;

std::size_t code_points(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

TEST(ShortenMiddle, KeepsShortTextsAndCutsLongOnesKeepingBothEnds) {
    EXPECT_EQ(i18n::shorten_middle("Заказ 1.pdf"), "Заказ 1.pdf");
    const std::string exact(80, 'x');
    EXPECT_EQ(i18n::shorten_middle(exact), exact);

    std::string cyrillic = "/home/продавец/Загрузки/";
    for (int i = 0; i < 40; ++i) cyrillic += "длинная_папка_";
    cyrillic += "/Накладная 17.pdf";
    const std::string cut = i18n::shorten_middle(cyrillic);
    EXPECT_EQ(code_points(cut), 80u);
    EXPECT_TRUE(cut.starts_with("/home/продавец/")) << cut;
    EXPECT_TRUE(cut.ends_with("/Накладная 17.pdf")) << cut;
    EXPECT_NE(cut.find("…"), std::string::npos);
    EXPECT_EQ(i18n::shorten_middle("abcdefghij", 5), "ab…ij");

    // Ill-formed bytes are whole "characters": nothing is split or lost around them.
    const std::string bad = std::string(50, 'a') + "\xFF\xFE" + std::string(50, 'b');
    const std::string bad_cut = i18n::shorten_middle(bad, 21);
    EXPECT_EQ(bad_cut, std::string(10, 'a') + "…" + std::string(10, 'b'));
}

TEST(FileError, TheSystemsErrorBecomesAdviceAndDetail) {
    struct Case {
        std::errc code;
        const char* advice;
    };
    const Case cases[] = {
        {std::errc::no_space_on_device, "fs_disk_full"},        {std::errc::file_too_large, "fs_disk_full"},
        {std::errc::permission_denied, "fs_no_access"},         {std::errc::operation_not_permitted, "fs_no_access"},
        {std::errc::read_only_file_system, "fs_read_only"},     {std::errc::filename_too_long, "fs_name_too_long"},
        {std::errc::no_such_file_or_directory, "fs_not_found"}, {std::errc::not_a_directory, "fs_not_a_folder"},
        {std::errc::device_or_resource_busy, "fs_busy"},        {std::errc::io_error, "fs_other"},
    };
    for (const Case& c : cases) {
        const std::error_code ec = std::make_error_code(c.code);
        const diag::RuntimeError e = diag::file_error("pdf_write_failed", "/out/Заказы.pdf", ec);
        ASSERT_NE(e.text(), nullptr);
        EXPECT_EQ(e.text()->advice, c.advice) << ec.message();
        EXPECT_EQ(e.text()->detail, ec.message());
    }
    const fs::filesystem_error fe("cannot write", fs::path("/tmp/x"),
                                  std::make_error_code(std::errc::no_space_on_device));
    const diag::RuntimeError e = diag::file_error("history_save_failed", fe);
    EXPECT_EQ(e.text()->values, (std::vector<std::pair<std::string, std::string>>{{"path", "/tmp/x"}}));
}

TEST(Render, MessageAdviceAndDetailInBothLanguages) {
    const diag::Text full_disk{
        "pdf_write_failed", {{"path", "/home/u/Заказы_MERGED.pdf"}}, "fs_disk_full", "No space left on device"};
    EXPECT_EQ(i18n::render(full_disk, "ru"),
              "Не удалось записать готовый PDF-файл:\n/home/u/Заказы_MERGED.pdf\n"
              "На диске не хватает места. Освободите место на диске и повторите.\n\n"
              "Подробности: No space left on device");
    EXPECT_EQ(i18n::render(full_disk, "kk"),
              "Дайын PDF файлын жазу мүмкін болмады:\n/home/u/Заказы_MERGED.pdf\n"
              "Дискіде орын жетпейді. Дискіде орын босатып, қайталап көріңіз.\n\n"
              "Толығырақ: No space left on device");
    // Without advice or detail, only the sentence; a long name is cut in the middle.
    const std::string long_name = std::string(100, 'n') + ".pdf";
    const std::string text = i18n::render(diag::Text{"pdf_no_pages", {{"name", long_name}}}, "ru");
    EXPECT_EQ(text.find(long_name), std::string::npos);
    EXPECT_NE(text.find("«" + i18n::shorten_middle(long_name) + "»"), std::string::npos) << text;
    EXPECT_EQ(text.find("Подробности"), std::string::npos);
    // A list of names, one per line, is cut line by line: every name keeps its end.
    const std::string list = i18n::render(
        diag::Text{"pdf_damaged_many", {{"count", "3"}, {"names", "a.pdf\n" + long_name + "\nb.pdf"}}}, "ru");
    EXPECT_NE(list.find(":\na.pdf\n" + i18n::shorten_middle(long_name) + "\nb.pdf\nСкачайте"), std::string::npos)
        << list;
}

TEST(Render, EveryFailureMessageRendersWithTheValuesItsRaiserGives) {
    // The values each raiser passes, by key: a missing one would only show when a user
    // meets that failure.
    const std::vector<std::pair<std::string, std::string>> values{
        {"path", "/x/y.zip"}, {"name", "a.pdf"}, {"method", "19"}, {"size", "1"},  {"needed", "2"},
        {"free", "3"},        {"page", "1"},     {"limit", "64"},  {"count", "2"}, {"names", "a.pdf, b.pdf"},
        {"minutes", "5"}};
    for (const auto& [key, text] : i18n::RU()) {
        if (!(key.starts_with("fs_") || key.starts_with("zip_") || key.starts_with("pdf_") ||
              key.starts_with("file_") || key.starts_with("history_") || key.starts_with("result_") ||
              key == "temp_folder_failed" || key == "disk_space_unknown" || key == "output_name_too_long" ||
              key == "merge_memory_limit" || key == "out_of_memory"))
            continue;
        for (const char* lang : {"ru", "kk"}) {
            const std::string out = i18n::render(diag::Text{std::string(key), values, "fs_other", "detail"}, lang);
            EXPECT_EQ(out.find('{'), std::string::npos) << key << " " << lang;
        }
    }
}

TEST(RethrowInLanguage, SameKindSamePlaceTextInTheUsersLanguage) {
    const diag::Text text{"pdf_password", {{"name", "Заказ 5.pdf"}}};
    const diag::RuntimeError original(text);
    try {
        try {
            throw original;
        } catch (const diag::Error& e) {
            i18n::rethrow_in_language(e, "kk");
        }
    } catch (const diag::RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()), i18n::render(text, "kk"));
        EXPECT_NE(std::string(e.what()).find("«Заказ 5.pdf»"), std::string::npos);
        EXPECT_EQ(e.where().line(), original.where().line());
        ASSERT_NE(e.text(), nullptr);
        EXPECT_EQ(e.text()->key, "pdf_password");
    }
    // A finished text goes on as it is.
    try {
        try {
            throw diag::FileNotFound("ZIP-файл не найден:\n/x.zip");
        } catch (const diag::Error& e) {
            i18n::rethrow_in_language(e, "kk");
        }
    } catch (const diag::FileNotFound& e) {
        EXPECT_STREQ(e.what(), "ZIP-файл не найден:\n/x.zip");
    }
}

// The library's own words never stand as the message: ours first, theirs as the detail.
TEST(Message, OursFirstTheLibrarysWordsAfter) {
    const std::filesystem::filesystem_error fs_error("cannot create directories", std::filesystem::path("/x"),
                                                     std::make_error_code(std::errc::permission_denied));
    const std::string library_words = fs_error.what();
    struct Case {
        const std::exception& e;
        const char* lang;
        std::string expected;
    };
    const diag::RuntimeError catalogue(diag::Text{"choose_zip"});
    const diag::RuntimeError finished("ZIP-файл не найден:\n/x.zip");
    const std::runtime_error plain("zip_open: Not a zip archive");
    const Case cases[] = {
        {catalogue, "kk", "Жүкқұжаттары бар ZIP-мұрағатты таңдаңыз"},
        {finished, "kk", "ZIP-файл не найден:\n/x.zip"},
        {fs_error, "ru", "Произошла непредвиденная ошибка.\n\nПодробности: " + library_words},
        {plain, "kk", "Күтпеген қате орын алды.\n\nТолығырақ: zip_open: Not a zip archive"},
    };
    for (const Case& c : cases) EXPECT_EQ(i18n::message(c.e, c.lang), c.expected);
}

}  // namespace
