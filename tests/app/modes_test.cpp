// The right-click menu as the running program writes it (to an in-memory registry
// branch), the maintenance modes with their message boxes answered by the test, the
// graphical run (real Tk windows under Xvfb, driven by the test), and the self-check's
// report.
#include "app/modes.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/entry.hpp"
#include "app/install.hpp"
#include "app/selfcheck.hpp"
#include "diag/error_log.hpp"
#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "product/product.hpp"
#include "shell/desktop_menus.hpp"
#include "support/job_fixture.hpp"
#include "support/memory_registry.hpp"
#include "support/program_dir.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"
#include "ui/ui_support.hpp"

namespace fs = std::filesystem;
using fixtures::read_bytes;
using fixtures::write_bytes;
using i18n::t;

namespace {

const std::string CF = "Software\\Classes\\CompressedFolder\\shell\\MergeTarvo PDF Mergalo";
const std::string ZIP = "Software\\Classes\\SystemFileAssociations\\.zip\\shell\\MergeTarvo PDF Mergalo";
const std::vector<std::string> SUBKEYS = {"01_1up", "02_4up", "03_6up", "04_9up", "05_help"};
const std::string MENU_ITEM = t("menu_root", "ru", {{"app", "Tarvo PDF Mergalo"}});

// The error log of the program in `program`, its line breaks as "\n".
std::string log_of(const fixtures::ProgramDir& program) {
    std::string text;
    for (char c : read_bytes(program.program() / "logs" / "error.log"))
        if (c != '\r') text += c;
    return text;
}

class Modes : public ::testing::Test {
protected:
    fixtures::ProgramDir program;  // the executable "Mergalo" in a folder with mgl/
    fixtures::MemoryRegistry registry;

    void SetUp() override { program.context().menu_registry = &registry; }

    std::string exe() const { return platform::utf8(program.program() / "Mergalo"); }
    std::string quoted_exe() const { return '"' + exe() + '"'; }
    std::string value(const std::string& key, const std::string& name = "") const {
        const auto* k = registry.find(key);
        return k && k->values.count(name) ? k->values.at(name) : "(missing)";
    }
};

}  // namespace

TEST_F(Modes, TheRunningProgramsMenuInTheCurrentLanguage) {
    i18n::write_language(program.context().data_dir, "kk");
    const fs::path help_kk = program.resources() / "help" / "Instruction_kk.html";
    write_bytes(help_kk, "<html></html>");

    app::install_context_menu_silent(program.context());
    app::install_context_menu_silent(program.context());
    EXPECT_EQ(registry.writes.size(), 2u * 26u);
    for (const auto& b : {CF, ZIP}) {
        EXPECT_EQ(registry.subkeys(b + "\\shell"), SUBKEYS) << b;
        EXPECT_EQ(value(b, "MUIVerb"), t("menu_root", "kk", {{"app", "Tarvo PDF Mergalo"}}));
        EXPECT_EQ(value(b, "Icon"), quoted_exe());
        EXPECT_EQ(value(b + "\\shell\\01_1up", "MUIVerb"), t("mode_1up", "kk"));
        EXPECT_EQ(value(b + "\\shell\\03_6up\\command"), quoted_exe() + " \"%1\" 6");
        EXPECT_EQ(value(b + "\\shell\\05_help\\command"), "explorer.exe \"" + platform::utf8(help_kk) + "\"");
    }

    app::uninstall_context_menu_silent(program.context());
    EXPECT_EQ(registry.find(CF), nullptr);
    EXPECT_EQ(registry.find(ZIP), nullptr);
}

TEST_F(Modes, AMissingExecutableLeavesTheEntryAsItWas) {
    app::install_context_menu_silent(program.context());
    const auto writes = registry.writes;
    fs::remove(program.program() / "Mergalo");
    // The program's real file: no ".exe" outside Windows.
    const std::string not_found = t("exe_not_found", "ru", {{"name", "Mergalo"}, {"folder", program.program()}});
    try {
        app::install_context_menu_silent(program.context());
        FAIL() << "installed without the executable";
    } catch (const diag::FileNotFound& e) {
        EXPECT_EQ(e.what(), not_found);
    }
    EXPECT_EQ(registry.writes, writes);

    uitest::Driver driver;
    driver.answer("ok");
    EXPECT_EQ(app::run_install_mode(program.context()), 1);
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].icon, "error");
    EXPECT_EQ(driver.boxes[0].title, "Tarvo PDF Mergalo");
    EXPECT_EQ(driver.boxes[0].message, t("menu_install_failed", "ru", {{"error", not_found}}));
    EXPECT_EQ(registry.writes, writes);
    EXPECT_FALSE(fs::exists(program.program() / "logs")) << "the interactive modes write no log";
}

TEST_F(Modes, InstallModeOffersTheHelpPageBesideTheExecutable) {
    uitest::FakeOpener opener(program.root());
    const std::string question = t("menu_installed", "ru", {{"item", MENU_ITEM}});
    {
        uitest::Driver driver;
        driver.answer("no").answer("yes");
        EXPECT_EQ(app::run_install_mode(program.context()), 0);  // no
        EXPECT_EQ(app::run_install_mode(program.context()), 0);  // yes, but there is no page to open
        ASSERT_EQ(driver.boxes.size(), 2u);
        EXPECT_EQ(driver.boxes[0].type, "yesno");
        EXPECT_EQ(driver.boxes[0].message, question);
    }
    EXPECT_EQ(registry.subkeys(CF + "\\shell"), SUBKEYS);

    write_bytes(program.program() / "Instruction.html", "<html></html>");
    uitest::Driver driver;
    driver.answer("yes");
    EXPECT_EQ(app::run_install_mode(program.context()), 0);
    EXPECT_EQ(opener.opened(1), std::vector<std::string>{platform::utf8(program.program() / "Instruction.html")})
        << "only the yes with a page opens something";
}

TEST_F(Modes, UninstallModeWithNothingInstalledSaysItIsRemoved) {
    uitest::Driver driver;
    driver.answer("ok");
    EXPECT_EQ(app::run_uninstall_mode(program.context()), 0);
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].icon, "info");
    EXPECT_EQ(driver.boxes[0].language, "ru") << "the buttons speak the program's language";
    EXPECT_EQ(driver.boxes[0].message, t("menu_removed", "ru", {{"item", MENU_ITEM}}));
}

TEST_F(Modes, SilentModesLogTheirFailuresInRussian) {
    i18n::write_language(program.context().data_dir, "kk");
    registry.fail_from_write = 0;
    EXPECT_EQ(app::install_menu_silently(program.context()), 1);
    const std::string entry = log_of(program);
    EXPECT_NE(entry.find("Title: Не удалось поставить пункт меню правой кнопки\nException:\nRegSetValueExW "),
              std::string::npos)
        << entry;
    EXPECT_EQ(app::uninstall_menu_silently(program.context()), 0) << "removing is never a failure";
}

TEST(SelfCheck, ReportListsEveryTroubleInCheckOrder) {
    static int calls = 0;
    const std::vector<app::selfcheck::Check> checks = {
        [] {
            ++calls;
            return std::optional<std::string>("библиотека PDF не загрузилась: нет памяти");
        },
        [] {
            ++calls;
            return std::optional<std::string>("");
        },  // an empty line counts as all well
        [] {
            ++calls;
            return std::optional<std::string>("окно не создалось: нет экрана");
        },
        [] {
            ++calls;
            return std::optional<std::string>();
        },
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(app::selfcheck::run(checks), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Самопроверка нашла беду:\n  — библиотека PDF не загрузилась: нет памяти\n"
              "  — окно не создалось: нет экрана\n");
    EXPECT_EQ(calls, 4);

    testing::internal::CaptureStdout();
    EXPECT_EQ(app::selfcheck::run({[] { return std::optional<std::string>(); }}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Самопроверка: всё на месте.\n");
}

TEST(SelfCheck, FilesAreLookedForOnlyUnderTheGivenFolder) {
    fixtures::ProgramDir program;  // its resource folder has no help pages and no icon
    fixtures::TempDir other;
    write_bytes(other / "help" / "Instruction_kk.html", "");
    fs::create_directories(other / "assets" / "mergalo.ico");  // a folder counts too
    EXPECT_EQ(app::selfcheck::check_files(other.path(), "mergalo.ico"), "не хватает файлов: Instruction.html");
    EXPECT_EQ(app::selfcheck::check_files(program.context().bundle_dir, program.context().icon_name),
              "не хватает файлов: Instruction.html, Instruction_kk.html, mergalo.ico");
    EXPECT_EQ(app::selfcheck::check_pdf(), std::nullopt);
}

TEST(SelfCheck, WindowCheckReportsWhatMessageBoxesLack) {
    EXPECT_EQ(app::selfcheck::check_window(), std::nullopt);
    uitest::TclWithoutMsgcat no_msgcat;
    const auto trouble = app::selfcheck::check_window();
    ASSERT_TRUE(trouble.has_value());
    EXPECT_EQ(trouble->rfind("окна сообщений не загрузились: ", 0), 0u) << *trouble;
    EXPECT_NE(trouble->find("msgcat"), std::string::npos) << *trouble;
}

namespace {

// The graphical run: the open-file dialog is answered by the test, the chooser, the
// result window and the error dialog are driven as the user would.
class GraphicalRun : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    fs::path folder = program.root() / "Заказы";

    fs::path archive() {
        const fs::path zip = folder / "day.zip";
        fs::create_directories(folder);
        fixtures::write_zip(zip, fixtures::waybills({"A-1", "B-2"}));
        return zip;
    }
    // Answers the open-file dialog (on top of the driver's hooks) and counts the asks.
    void answer_dialog(std::optional<std::string> name) {
        auto hooks = ui::tk::detail::hooks();
        hooks.answer_open_file = [this, name](std::string_view title) {
            ++dialogs;
            EXPECT_EQ(title, t("choose_zip", "ru"));
            return name;
        };
        ui::tk::detail::set_hooks(hooks);
    }
    int dialogs = 0;
};

}  // namespace

TEST_F(GraphicalRun, ArchiveAndLayoutFromTheWindowsThenTheResult) {
    const fs::path zip = archive();
    uitest::Driver driver;
    answer_dialog(platform::utf8(zip));
    driver.then([](ui::tk::Interp& in) {
              in.call({".choice.mode6", "invoke"});
          })
        .then([](ui::tk::Interp& in) {
            EXPECT_NE(
                uitest::text_of(in, ".done.details").find(t("detail_mode", "ru", {{"mode", t("mode_6up", "ru")}})),
                std::string::npos);
            in.call({".done.buttons.bottom.close", "invoke"});
        });
    app::run_gui(program.context());
    EXPECT_EQ(dialogs, 1);
    EXPECT_TRUE(fs::exists(folder / "day_Tarvo PDF Mergalo_MERGED_6up.pdf"));
}

TEST_F(GraphicalRun, CancelledDialogOrClosedChooserMergesNothing) {
    const fs::path zip = archive();
    {
        uitest::Driver driver;  // no step: any window waiting for the user fails the test
        answer_dialog(std::nullopt);
        app::run_gui(program.context());
        answer_dialog("");
        app::run_gui(program.context());
    }
    {
        uitest::Driver driver;
        answer_dialog(platform::utf8(zip));
        driver.then([](ui::tk::Interp& in) { uitest::close_from_title_bar(in, ".choice"); });
        app::run_gui(program.context());
    }
    EXPECT_EQ(dialogs, 3);
    EXPECT_EQ(fixtures::names_in(folder), std::set<std::string>{"day.zip"});
}

TEST_F(GraphicalRun, AFailureIsShownAndTheRunEndsNormally) {
    fs::create_directories(folder);
    const std::string name = platform::utf8(folder / "gone.zip");
    uitest::Driver driver;
    answer_dialog(name);
    driver.then([](ui::tk::Interp& in) {
              in.call({".choice.mode9", "invoke"});
          })
        .then([&](ui::tk::Interp& in) {
            EXPECT_EQ(uitest::text_of(in, ".error.title"), t("error_pdf_failed", "ru"));
            EXPECT_EQ(
                in.call({".error.message", "get", "1.0", "end"}).rfind(t("zip_not_found", "ru", {{"path", name}}), 0),
                0u);
            in.call({".error.buttons.ok", "invoke"});
        });
    app::run_gui(program.context());
    const std::string entry = log_of(program);
    EXPECT_NE(entry.find("Extra:\nZIP: " + name + "\nNUP: 9\n"), std::string::npos) << entry;
}

// What fails in the result window after a merge that succeeded gets a box of its own,
// never the merge's failure dialog, and the run still exits 0.
TEST_F(GraphicalRun, AFailureAfterTheMergeIsNotAFailedMerge) {
    fixtures::MemoryRegistry registry;
    registry.fail_from_write = 0;
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string box_start;
    };
    const Case cases[] = {
        // Still Russian: the language was not saved.
        {"the language cannot be saved",
         [&] { write_bytes(program.local_app_data() / "Tarvo PDF Mergalo" / "data", "a file, not a folder"); },
         t("language_save_failed", "ru") + "\n\n" + t("file_write_failed", "ru", {{"path", ""}})},
        {"the menu cannot follow the language", [&] { program.context().menu_registry = &registry; },
         t("menu_relabel_failed", "kk") + "\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(program.local_app_data() / "Tarvo PDF Mergalo");
        const fs::path zip = archive();
        c.arrange();
        uitest::Driver driver;
        driver.answer("ok");
        driver
            .then([](ui::tk::Interp& in) {
                in.call({".done.buttons.bottom.language", "invoke"});
                EXPECT_TRUE(in.exists(".done")) << "the result window stays";
                in.call({".done.buttons.bottom.close", "invoke"});
            })
            .then([](ui::tk::Interp& in) {
                in.call({".done.language.frame.kk", "invoke"});
            });
        EXPECT_EQ(app::merge_from_command_line(program.context(), {"Mergalo", platform::utf8(zip), "4"}), 0);
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].icon, "error");
        EXPECT_EQ(driver.boxes[0].message.rfind(c.box_start, 0), 0u) << driver.boxes[0].message;
        EXPECT_TRUE(fs::exists(folder / "day_Tarvo PDF Mergalo_MERGED_4up.pdf"));
        fs::remove_all(folder);
    }
    EXPECT_NE(log_of(program).find("Title: " + std::string(diag::log_titles::MENU_RELABEL_FAILED)), std::string::npos);
}

// The result window itself breaking after the merge is shown in the error dialog with
// the files' places; the merge stays a success.
TEST_F(GraphicalRun, AResultWindowThatBreaksIsShownInTheErrorDialog) {
    const fs::path zip = archive();
    const fs::path out = folder / "day_Tarvo PDF Mergalo_MERGED_4up.pdf";
    uitest::Driver driver;
    driver.then([](ui::tk::Interp&) { throw std::runtime_error("the toolkit broke down"); })
        .then([&](ui::tk::Interp& in) {
            EXPECT_EQ(uitest::text_of(in, ".error.title"), i18n::t("error_result_window", "ru"));
            EXPECT_NE(in.call({".error.message", "get", "1.0", "end"}).find("the toolkit broke down"),
                      std::string::npos);
            in.call({".error.buttons.ok", "invoke"});
        });
    EXPECT_EQ(app::merge_from_command_line(program.context(), {"Mergalo", platform::utf8(zip), "4"}), 0);
    EXPECT_TRUE(fs::exists(out));
    EXPECT_NE(log_of(program).find("PDF: " + platform::utf8(out)), std::string::npos);
}

// "Open with" on several archives: the layout is asked once, then each archive is merged
// in turn; a failed one is reported and the others are merged all the same.
TEST_F(GraphicalRun, ChooseLayoutAsksOnceThenMergesEachArchive) {
    const fs::path zip = archive();
    const fs::path second = folder / "night.zip";
    fs::copy_file(zip, second);
    const std::string gone = platform::utf8(folder / "gone.zip");
    uitest::Driver driver;
    driver.then([](ui::tk::Interp& in) {
              in.call({".choice.mode4", "invoke"});
          })
        .then([](ui::tk::Interp& in) {
            in.call({".done.buttons.bottom.close", "invoke"});
        })
        .then([&](ui::tk::Interp& in) {
            EXPECT_EQ(in.call({".error.message", "get", "1.0", "end - 1 char"})
                          .rfind(t("zip_not_found", "ru", {{"path", gone}}), 0),
                      0u);
            in.call({".error.buttons.ok", "invoke"});
        })
        .then([](ui::tk::Interp& in) {
            EXPECT_NE(
                uitest::text_of(in, ".done.details").find(t("detail_mode", "ru", {{"mode", t("mode_4up", "ru")}})),
                std::string::npos);
            in.call({".done.buttons.bottom.close", "invoke"});
        });
    EXPECT_EQ(app::choose_layout_and_merge(
                  program.context(), {"Mergalo", "--choose-layout", platform::utf8(zip), gone, platform::utf8(second)}),
              1);
    EXPECT_TRUE(fs::exists(folder / "day_Tarvo PDF Mergalo_MERGED_4up.pdf"));
    EXPECT_TRUE(fs::exists(folder / "night_Tarvo PDF Mergalo_MERGED_4up.pdf"));
}

namespace {

// Whether `text` names `flag` as a whole switch ("--install" is not found in "--install-menu").
bool names_switch(const std::string& text, std::string_view flag) {
    for (auto at = text.find(flag); at != std::string::npos; at = text.find(flag, at + 1)) {
        const auto end = at + flag.size();
        if (end == text.size() || (text[end] != '-' && !std::isalnum(static_cast<unsigned char>(text[end]))))
            return true;
    }
    return false;
}

// The README's switch table and the package's manual page tell every switch the program
// runs; a switch added to the program and to neither would be known to nobody.
TEST(Documentation, TheReadmeAndTheManualPageNameEverySwitch) {
    const fs::path root = *product::profile().ROOT;
    std::vector<std::string_view> flags{shell::CHOOSE_LAYOUT_SWITCH};
    for (const app::Switch& s : app::SWITCHES()) flags.push_back(s.flag);
    for (const fs::path& doc : {root / "README.md", root / "packaging" / "deb" / "Mergalo.1"}) {
        std::string text;
        const std::string raw = read_bytes(doc);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '-') continue;  // roff's "\-" is "-"
            text += raw[i];
        }
        for (std::string_view flag : flags) EXPECT_TRUE(names_switch(text, flag)) << doc.filename() << ": " << flag;
    }
}

}  // namespace
