#include "i18n/settings.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "diag/errors.hpp"
#include "i18n/messages.hpp"
#include "platform/platform.hpp"
#include "support/child.hpp"
#include "support/env.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using fixtures::read_bytes;
using fixtures::write_bytes;
using Json = nlohmann::ordered_json;

// Sets the locale variables the platform layer reads for the interface language, and
// puts the old values back afterwards.
class LocaleEnv {
public:
    LocaleEnv(const char* language, const char* lc_all, const char* lang)
        : language_("LANGUAGE", language),
          all_("LC_ALL", lc_all),
          messages_("LC_MESSAGES", nullptr),
          lang_("LANG", lang) {}

private:
    fixtures::EnvVar language_, all_, messages_, lang_;
};

class Settings : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    fs::path file() const { return dir.path() / "data" / "settings.json"; }
    Json stored() const { return Json::parse(read_bytes(file())); }
};

TEST_F(Settings, NoFileReadsAsNoLanguage) {
    EXPECT_EQ(i18n::read_language(dir.path()), std::nullopt);
    EXPECT_EQ(i18n::read_language(dir / "missing" / "deeper"), std::nullopt);
    EXPECT_FALSE(fs::exists(dir / "data"));  // reading creates nothing
}

TEST_F(Settings, ReadsStoredCodes) {
    write_bytes(file(), R"({"lang": "kk"})");
    EXPECT_EQ(i18n::read_language(dir.path()), "kk");
    write_bytes(file(), "{\n  \"theme\": [1, 2],\n  \"lang\": \"ru\"\n}\n");
    EXPECT_EQ(i18n::read_language(dir.path()), "ru");
}

TEST_F(Settings, UnusableContentReadsAsNoLanguageAndIsReplacedOnWrite) {
    const std::string cases[] = {
        R"(["kk"])",                            // a list
        R"("kk")",                              // a string
        "42",                                   // a number
        "lang = kk",                            // not JSON
        R"({"lang": "kk")",                     // cut short
        "",                                     // empty file
        "\xEF\xBB\xBF{\"lang\": \"kk\"}",       // a byte-order mark in front
        "{\"lang\": \"kk\", \"x\": \"\xFF\"}",  // not UTF-8
        R"({"lang": "en"})",                    // unknown code
        R"({"lang": "KK"})",
        R"({"lang": ""})",
        R"({"lang": 7})",  // a number under "lang"
        R"({"lang": ["kk"]})",
        R"({"lang": null})",
    };
    for (const std::string& content : cases) {
        SCOPED_TRACE(content);
        write_bytes(file(), content);
        EXPECT_EQ(i18n::read_language(dir.path()), std::nullopt);
        // Damaged content is dropped; none of the objects holds a key besides "lang".
        i18n::write_language(dir.path(), "ru");
        EXPECT_EQ(read_bytes(file()), "{\n  \"lang\": \"ru\"\n}");
        EXPECT_EQ(i18n::read_language(dir.path()), "ru");
    }
}

// Values nested deeper than a settings file of ours ever is: such a file counts as no
// settings file. Found by fuzzing: storing the language then recursed once per level
// and overflowed the stack.
TEST_F(Settings, ContentNestedTooDeepReadsAsNoLanguageAndIsReplacedOnWrite) {
    struct Case {
        int depth;  // arrays nested under the key "x"
        bool kept;
    };
    for (const Case c : {Case{64, true}, Case{65, false}, Case{200000, false}}) {
        SCOPED_TRACE(c.depth);
        const std::string nested = std::string(c.depth, '[') + std::string(c.depth, ']');
        write_bytes(file(), R"({"lang": "kk", "x": )" + nested + "}");
        EXPECT_EQ(i18n::read_language(dir.path()), c.kept ? std::optional<std::string>("kk") : std::nullopt);
        i18n::write_language(dir.path(), "ru");
        EXPECT_EQ(stored(),
                  c.kept ? Json::parse(R"({"lang": "ru", "x": )" + nested + "}") : Json::parse(R"({"lang": "ru"})"));
    }
}

TEST_F(Settings, FirstWriteCreatesFolderAndFile) {
    fs::path base = dir / "Tarvo PDF Mergalo";
    i18n::write_language(base, "kk");
    EXPECT_EQ(i18n::detail::path(base), base / "data" / "settings.json");
    EXPECT_EQ(read_bytes(base / "data" / "settings.json"), "{\n  \"lang\": \"kk\"\n}");
    EXPECT_EQ(i18n::read_language(base), "kk");
    // The temporary file was renamed, not left behind.
    EXPECT_EQ(fixtures::names_in(base / "data"), std::set<std::string>{"settings.json"});
}

TEST_F(Settings, OtherKeysKeepTheirValuesAndOrder) {
    write_bytes(file(), R"({"zeta": 1, "lang": "kk", "alpha": {"n": [1, 2.5, null]}, "имя": "Иван", "b": true})");
    i18n::write_language(dir.path(), "ru");
    Json data = stored();
    std::vector<std::string> keys;
    for (const auto& [key, value] : data.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "lang", "alpha", "имя", "b"}));
    EXPECT_EQ(data["zeta"], 1);
    EXPECT_EQ(data["lang"], "ru");
    EXPECT_EQ(data["alpha"], Json::parse(R"({"n": [1, 2.5, null]})"));
    EXPECT_EQ(data["имя"], "Иван");
    EXPECT_EQ(data["b"], true);

    // A key new to the file goes after the existing ones.
    write_bytes(file(), R"({"b": 1, "a": 2})");
    i18n::write_language(dir.path(), "kk");
    keys.clear();
    data = stored();
    for (const auto& [key, value] : data.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "lang"}));
}

TEST_F(Settings, WritesUtf8AndIndentsByTwo) {
    write_bytes(file(), R"({"note": "Привет, \u049a\u0430\u0437\u0430\u049b\u0448\u0430", "nested": {"k": 1}})");
    i18n::write_language(dir.path(), "kk");
    std::string bytes = read_bytes(file());
    EXPECT_NE(bytes.find("\"note\": \"Привет, Қазақша\""), std::string::npos) << bytes;
    EXPECT_EQ(bytes.find("\\u"), std::string::npos) << bytes;
    EXPECT_EQ(bytes,
              "{\n"
              "  \"note\": \"Привет, Қазақша\",\n"
              "  \"nested\": {\n"
              "    \"k\": 1\n"
              "  },\n"
              "  \"lang\": \"kk\"\n"
              "}");
}

TEST_F(Settings, UnknownCodeIsRefusedBeforeTouchingTheFile) {
    for (const std::string code : {"en", "", "RU", "kk ", "неизвестный"}) {
        SCOPED_TRACE(code);
        fixtures::TempDir fresh;
        try {
            i18n::write_language(fresh.path(), code);
            FAIL() << "expected a failure";
        } catch (const diag::InvalidValue& e) {
            // The same fixed text whatever the language.
            EXPECT_EQ(i18n::message(e, "kk"), "неизвестный язык: " + code);
        }
        EXPECT_FALSE(fs::exists(fresh / "data"));  // nothing created
    }
    const std::string before = R"({"lang": "kk", "x": 1})";
    write_bytes(file(), before);
    EXPECT_THROW(i18n::write_language(dir.path(), "en"), diag::InvalidValue);
    EXPECT_EQ(read_bytes(file()), before);
}

TEST_F(Settings, FailedWriteReportsAndKeepsTheOldFile) {
    // A file where the "data" folder should be: the folder cannot be created.
    write_bytes(dir / "data", "not a folder");
    EXPECT_THROW(i18n::write_language(dir.path(), "kk"), diag::RuntimeError);
    EXPECT_EQ(read_bytes(dir / "data"), "not a folder");
    EXPECT_EQ(i18n::read_language(dir.path()), std::nullopt);
    fs::remove(dir / "data");

    // A write that fails half-way (the disk fills): the old file stays whole.
    const std::string before = R"({"lang": "ru", "keep": "me"})";
    write_bytes(file(), before);
    const std::string outcome = fixtures::run_in_child([&] {
        fixtures::limit_file_size(10);
        try {
            i18n::write_language(dir.path(), "kk");
            return std::string("written");
        } catch (const diag::RuntimeError& e) {
            return std::string("failed");
        }
    });
    EXPECT_EQ(outcome, "failed");
    EXPECT_EQ(read_bytes(file()), before);
    EXPECT_EQ(i18n::read_language(dir.path()), "ru");
    EXPECT_EQ(fixtures::names_in(dir / "data"), std::set<std::string>{"settings.json"}) << "no temporary file is left";
}

TEST(SystemLanguage, RuleOnWindowsLanguageIds) {
    struct Case {
        std::optional<std::uint16_t> id;
        const char* want;
    };
    const Case cases[] = {
        {0x043F, "kk"},                        // Kazakh (Kazakhstan)
        {0x003F, "kk"},                        // Kazakh, neutral
        {0xFC3F, "kk"},                        // any sub-language of Kazakh
        {0x0419, "ru"},                        // Russian
        {0x0409, "ru"},                        // English
        {0x0440, "ru"},                        // Kyrgyz, next to Kazakh
        {0x043E, "ru"},                        // Malay, just below
        {0x0000, "ru"}, {std::nullopt, "ru"},  // no answer from the system
    };
    for (const Case& c : cases) EXPECT_EQ(i18n::language_for_ui_id(c.id), c.want) << (c.id ? *c.id : -1);
}

TEST(SystemLanguage, FollowsTheLocaleVariables) {
    struct Case {
        const char* language;
        const char* lc_all;
        const char* lang;
        const char* want;
    };
    const Case cases[] = {
        {"kk_KZ.UTF-8", nullptr, nullptr, "kk"},       {"kk:ru", nullptr, "en_US.UTF-8", "kk"},
        {nullptr, "ru_RU.UTF-8", "kk_KZ.UTF-8", "ru"},  // LC_ALL comes before LANG
        {nullptr, nullptr, "kk_KZ.UTF-8", "kk"},       {"en_GB", nullptr, "kk_KZ.UTF-8", "ru"},  // LANGUAGE comes first
        {nullptr, nullptr, "C.UTF-8", "ru"},           {nullptr, nullptr, nullptr, "ru"},        // nothing set
    };
    for (const Case& c : cases) {
        LocaleEnv env(c.language, c.lc_all, c.lang);
        EXPECT_EQ(i18n::system_language(), c.want)
            << (c.language ? c.language : "-") << " " << (c.lc_all ? c.lc_all : "-") << " " << (c.lang ? c.lang : "-");
    }
}

TEST_F(Settings, CurrentLanguageFallsBackToSystemAndIsReadEveryTime) {
    LocaleEnv kazakh_ui("kk_KZ.UTF-8", nullptr, nullptr);
    EXPECT_EQ(i18n::current_language(dir.path()), "kk");
    i18n::write_language(dir.path(), "ru");
    EXPECT_EQ(i18n::current_language(dir.path()), "ru");
    // Changed by someone else between two calls: the next call sees it.
    write_bytes(file(), R"({"lang": "kk"})");
    EXPECT_EQ(i18n::current_language(dir.path()), "kk");
    write_bytes(file(), R"({"lang": "fr"})");
    EXPECT_EQ(i18n::current_language(dir.path()), "kk");
    {
        LocaleEnv russian_ui(nullptr, nullptr, "ru_RU.UTF-8");
        EXPECT_EQ(i18n::current_language(dir.path()), "ru");
        write_bytes(file(), "[\"kk\"]");
        EXPECT_EQ(i18n::current_language(dir.path()), "ru");
    }
}

}  // namespace
