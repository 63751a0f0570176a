#include "i18n/catalogue.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diag/errors.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

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

// Every text of the catalogue is one the program shows: its key appears as a literal in
// the sources (outside the catalogue), or the program builds it from a family's prefix
// ("mode_" + layout + "up", "language_" + code). A text nobody looks up is a text
// nobody keeps up to date.
TEST(Catalogue, EveryKeyIsLookedUpByTheProgram) {
    EXPECT_EQ(keys_of(i18n::RU()), keys_of(i18n::KK()));
    std::string sources;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(MERGALO_SOURCE_DIR) / "src")) {
        const std::string ext = e.path().extension().string();
        if ((ext != ".cpp" && ext != ".hpp") || e.path().filename() == "catalogue.cpp") continue;
        sources += fixtures::read_bytes(e.path());
    }
    const auto built_from = [&](std::string_view key, std::string_view prefix) {
        return key.starts_with(prefix) && sources.find("\"" + std::string(prefix) + "\"") != std::string::npos;
    };
    for (const auto& [key, text] : i18n::RU()) {
        const bool used = sources.find("\"" + std::string(key) + "\"") != std::string::npos ||
                          built_from(key, "mode_") || built_from(key, "language_");
        EXPECT_TRUE(used) << key << " is looked up nowhere";
    }
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
    EXPECT_EQ(t("menu_root", "ru", {{"app", "Tarvo PDF Mergalo"}}), "Tarvo PDF Mergalo \u2014 объединить накладные");
    EXPECT_EQ(t("menu_root", "kk", {{"app", "Tarvo PDF Mergalo"}}), "Tarvo PDF Mergalo \u2014 жүкқұжаттарды біріктіру");
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
        {"mode_4up", "ru",
         "4 на лист (2\x78"
         "2)"},
        {"mode_6up", "kk",
         "Параққа 6 (2\x78"
         "3)"},
        {"mode_9up", "ru",
         "9 на лист (3\x78"
         "3)"},
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
