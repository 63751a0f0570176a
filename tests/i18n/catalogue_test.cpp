#include "i18n/catalogue.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diag/errors.hpp"

namespace {

using i18n::t;

std::set<std::string_view> keys_of(const i18n::Table& table) {
    std::set<std::string_view> keys;
    for (const auto& [key, text] : table) keys.insert(key);
    return keys;
}

// The placeholder names of a template, in order; fails the test on a brace that does
// not open or close a placeholder of lower-case letters, digits and underscores.
std::vector<std::string> placeholders(std::string_view key, std::string_view tmpl) {
    std::vector<std::string> names;
    std::size_t i = 0;
    while (i < tmpl.size()) {
        if (tmpl[i] == '}') {
            ADD_FAILURE() << "stray '}' in " << key;
            return names;
        }
        if (tmpl[i] != '{') {
            ++i;
            continue;
        }
        std::size_t close = tmpl.find('}', i);
        if (close == std::string_view::npos) {
            ADD_FAILURE() << "unclosed '{' in " << key;
            return names;
        }
        std::string name(tmpl.substr(i + 1, close - i - 1));
        EXPECT_FALSE(name.empty()) << key;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos)
            << "placeholder {" << name << "} of " << key;
        names.push_back(name);
        i = close + 1;
    }
    return names;
}

TEST(Catalogue, EachLanguageCodeReachesItsOwnTable) {
    // Russian first: it is the fallback and the first button of the language chooser.
    EXPECT_EQ(std::vector<std::string_view>(i18n::LANGUAGES.begin(), i18n::LANGUAGES.end()),
              (std::vector<std::string_view>{"ru", "kk"}));
    EXPECT_EQ(i18n::TEXTS().at("ru")->at("btn_close"), "Закрыть");
    EXPECT_EQ(i18n::TEXTS().at("kk")->at("btn_close"), t("btn_close", "kk"));
    EXPECT_NE(t("btn_close", "kk"), t("btn_close", "ru"));
    for (std::string_view code : {"ru", "kk"}) EXPECT_TRUE(i18n::is_language(code)) << code;
    for (std::string_view code : {"", "en", "RU", "kk ", "kz"}) EXPECT_FALSE(i18n::is_language(code)) << code;
}

TEST(Catalogue, BothTablesHoldTheSameKeys) {
    EXPECT_EQ(keys_of(i18n::RU()), keys_of(i18n::KK()));
    // Every key the rest of the program looks up, and no other.
    const std::set<std::string_view> used{
        "choose_language", "language_ru", "language_kk", "change_language", "language_saved", "menu_root",
        "menu_help", "menu_installed", "menu_install_failed", "menu_removed", "menu_remove_failed",
        "mode_1up", "mode_4up", "mode_6up", "mode_9up", "choose_mode", "merging_title", "merging_hint",
        "done_title", "done_hint", "detail_version", "detail_file_all", "detail_file_new",
        "detail_no_new_file", "detail_mode", "detail_new_count", "detail_pages", "detail_sheets_all",
        "detail_sheets_new", "files_taken", "btn_open_all", "btn_open_new", "btn_open_folder", "btn_close",
        "open_help", "old_sheets_none", "old_sheets_confirm", "old_sheets_and_more", "clean_old_sheets",
        "error_pdf_failed", "error_result_window", "error_log_saved", "error_send_log", "error_open_log_folder", "exe_not_found",
        "zip_not_found", "choose_zip", "no_window", "progress_unpacking", "progress_waiting_history", "progress_merging_all",
        "progress_merging_new", "progress_saving_all", "progress_saving_new",
        "file_type_zip", "file_type_all",
        // Linux: which file managers got the menu.
        "menu_installed_file_managers", "menu_installed_no_file_manager", "menu_removed_file_managers",
        "menu_removed_no_file_manager",
        // Failures raised below the app layer as catalogue messages, and what a merge
        // result must say besides its files.
        "error_detail", "fs_disk_full", "fs_no_access", "fs_read_only", "fs_name_too_long", "fs_not_found",
        "fs_busy", "fs_other", "file_read_failed", "file_write_failed", "folder_read_failed",
        "temp_folder_failed", "disk_space_unknown", "history_save_failed", "history_read_failed",
        "history_lock_failed", "history_lock_busy",
        "file_access_failed", "out_of_memory", "pdf_write_failed", "zip_open_failed", "output_name_too_long",
        "zip_damaged", "zip_too_many_members", "zip_member_encrypted", "zip_member_method", "zip_member_too_large",
        "zip_no_space", "zip_member_crc", "zip_member_unreadable", "zip_member_longer",
        "zip_member_shorter", "zip_member_write_failed", "pdf_damaged", "pdf_no_pages", "pdf_password",
        "pdf_content_broken", "pdf_damaged_many", "pdf_damaged_and_more",
        "pdf_content_too_large", "pdf_memory_limit", "merge_memory_limit", "result_repaired",
        "result_conflicting_duplicates",
        // A result that needs checking; failures after a merge; a log that cannot be written.
        "done_title_check", "done_hint_check", "done_hint_history", "result_history_skipped", "open_failed",
        "open_no_program", "language_save_failed", "menu_relabel_failed", "menu_place_missing",
        "error_log_not_written", "error_write_support", "log_write_failed", "fs_not_a_folder", "error_unexpected"};
    EXPECT_EQ(keys_of(i18n::RU()), used);
}

TEST(Catalogue, BothLanguagesNameTheSamePlaceholders) {
    for (const auto& [key, ru] : i18n::RU()) {
        auto kk = i18n::KK().find(key);
        ASSERT_NE(kk, i18n::KK().end()) << key;
        auto ru_names = placeholders(key, ru);
        auto kk_names = placeholders(key, kk->second);
        EXPECT_EQ(std::multiset<std::string>(ru_names.begin(), ru_names.end()),
                  std::multiset<std::string>(kk_names.begin(), kk_names.end()))
            << key;
        EXPECT_FALSE(ru.empty()) << key;
        EXPECT_FALSE(kk->second.empty()) << key;
    }
}

TEST(Catalogue, UnknownLanguageGivesRussian) {
    struct Case {
        std::string_view lang;
        std::string_view want;
    };
    for (const Case& c : {Case{"kk", "Жабу"}, Case{"ru", "Закрыть"}, Case{"en", "Закрыть"}, Case{"", "Закрыть"},
                          Case{"KK", "Закрыть"}, Case{"kk_KZ", "Закрыть"}}) {
        EXPECT_EQ(t("btn_close", c.lang), c.want) << "lang '" << c.lang << "'";
        EXPECT_EQ(t("btn_close", c.lang, {{"unused", 1}}), c.want) << "lang '" << c.lang << "'";
    }
}

TEST(Catalogue, MenuRootWithAndWithoutValues) {
    EXPECT_EQ(t("menu_root", "ru", {{"app", "Tarvo PDF Mergalo"}}),
              "Tarvo PDF Mergalo \u2014 объединить накладные");
    EXPECT_EQ(t("menu_root", "kk", {{"app", "Tarvo PDF Mergalo"}}),
              "Tarvo PDF Mergalo \u2014 жүкқұжаттарды біріктіру");
    // No values: the template comes back unchanged, braces included.
    EXPECT_EQ(t("menu_root", "ru"), "{app} \u2014 объединить накладные");
    EXPECT_EQ(t("menu_root", "ru", {}), "{app} \u2014 объединить накладные");
}

TEST(Catalogue, ExtraValuesAreIgnored) {
    EXPECT_EQ(t("detail_pages", "ru", {{"count", 12}, {"path", "C:/x.zip"}}), "Исходных страниц: 12");
    EXPECT_EQ(t("detail_pages", "kk", {{"path", "C:/x.zip"}, {"count", 12}}), "Бастапқы беттер: 12");
}

TEST(Catalogue, FillsEveryPlaceholderOnce) {
    // Several placeholders; a value that itself looks like a placeholder stays literal.
    EXPECT_EQ(t("exe_not_found", "ru", {{"folder", "C:/Программы/{name}"}, {"name", "Mergalo.exe"}}),
              "Файл Mergalo.exe не найден.\n\nПапка:\nC:/Программы/{name}");
    EXPECT_EQ(t("exe_not_found", "kk", {{"name", "Mergalo"}, {"folder", "D:/"}}),
              "Mergalo файлы табылмады.\n\nҚалта:\nD:/");
    // Value kinds: integers of any width and sign, std::string, paths as UTF-8.
    EXPECT_EQ(t("old_sheets_and_more", "ru", {{"count", std::size_t{7}}}), "и ещё 7");
    EXPECT_EQ(t("old_sheets_and_more", "kk", {{"count", -3LL}}), "және тағы -3");
    EXPECT_EQ(t("detail_mode", "ru", {{"mode", std::string("4 на лист (2x2)")}}), "Режим: 4 на лист (2x2)");
    EXPECT_EQ(t("zip_not_found", "ru", {{"path", std::filesystem::path("/home/продавец/накладные.zip")}}),
              "ZIP-файл не найден:\n/home/продавец/накладные.zip");
    EXPECT_EQ(t("detail_version", "ru", {{"version", ""}}), "Версия программы: ");
}

TEST(Catalogue, MissingPlaceholderValueFailsNamingIt) {
    try {
        t("exe_not_found", "ru", {{"name", "Mergalo"}});
        FAIL() << "expected a failure";
    } catch (const diag::RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("folder"), std::string::npos) << e.what();
    }
    try {
        t("detail_pages", "kk", {{"path", "x"}});
        FAIL() << "expected a failure";
    } catch (const diag::RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("count"), std::string::npos) << e.what();
    }
}

TEST(Catalogue, MissingKeyFailsNamingIt) {
    for (std::string_view lang : {"ru", "kk", "xx"}) {
        try {
            t("no_such_key", lang);
            FAIL() << "expected a failure";
        } catch (const diag::RuntimeError& e) {
            EXPECT_NE(std::string(e.what()).find("no_such_key"), std::string::npos) << e.what();
        }
        EXPECT_THROW(t("no_such_key", lang, {{"count", 1}}), diag::RuntimeError);
        EXPECT_THROW(t("", lang), diag::RuntimeError);
        EXPECT_THROW(t("BTN_CLOSE", lang), diag::RuntimeError);
    }
}

TEST(Catalogue, TypographicCharactersAndLineBreaks) {
    struct Case {
        std::string_view key, lang, want;
    };
    // Expected texts written with escapes where the character matters: U+2014 em dash,
    // U+00AB/U+00BB guillemets, a plain Latin x, real line breaks.
    const Case cases[] = {
        {"menu_root", "kk", "{app} \xE2\x80\x94 жүкқұжаттарды біріктіру"},
        {"menu_installed", "ru",
         "Меню установлено.\n\nПункт \xC2\xAB{item}\xC2\xBB добавлен в меню правой кнопки для ZIP-архивов."
         "\n\nОткрыть инструкцию по использованию?"},
        {"menu_removed", "kk", "Мәзір жойылды.\n\n\xC2\xAB{item}\xC2\xBB тармағы тінтуір мәзірінен алынды."},
        {"mode_4up", "ru", "4 на лист (2\x78" "2)"},
        {"mode_6up", "kk", "Параққа 6 (2\x78" "3)"},
        {"mode_9up", "ru", "9 на лист (3\x78" "3)"},
        {"merging_hint", "ru", "Пожалуйста, подождите.\nПрограмма объединяет выбранные PDF-файлы."},
        {"old_sheets_confirm", "ru",
         "Удалить готовые листы старше трёх суток?\n\n{names}\n\nИсходные архивы и история накладных не пострадают."},
        {"language_ru", "kk", "Русский"},
        {"language_kk", "ru", "Қазақша"},
        {"language_saved", "kk", "Тіл сақталды."},
        {"error_send_log", "kk", "error.log файлын Telegram-ға жіберіңіз: {url}"},
        {"clean_old_sheets", "kk", "3 күннен ескі PDF-ті жою"},
        {"choose_zip", "ru", "Выберите ZIP-архив с накладными"},
    };
    for (const Case& c : cases) EXPECT_EQ(t(c.key, c.lang), c.want) << c.key << " in " << c.lang;
    EXPECT_EQ(i18n::RU().at("language_ru"), i18n::KK().at("language_ru"));
    EXPECT_EQ(i18n::RU().at("language_kk"), i18n::KK().at("language_kk"));
}

}  // namespace
