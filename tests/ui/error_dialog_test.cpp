// The error dialog on real Tk windows, and without a display.
#include "ui/error_dialog.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/program_dir.hpp"
#include "support/temp_dir.hpp"
#include "ui/ui_support.hpp"
#include "ui/window.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using i18n::t;
using uitest::text_of;

const std::string SUPPORT = "https://t.me/tarvo_support";

class ErrorDialogTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    fs::path log() const { return program.program() / "logs" / "error.log"; }
    void use_language(const char* lang) { i18n::write_language(program.context().data_dir, lang); }
};

TEST_F(ErrorDialogTest, ShowsTheFailureTheLogAndTheSupportLink) {
    use_language("kk");
    uitest::FakeOpener opener(program.root());
    const diag::FileNotFound failure(t("zip_not_found", "kk", {{"path", "C:\\{Заказы}\\[day].zip"}}));
    const std::string title = t("error_pdf_failed", "kk");
    uitest::Driver driver;
    driver.then([&](tk::Interp& in) {
        EXPECT_EQ(in.call({"wm", "title", ".error"}), "Tarvo PDF Mergalo");
        EXPECT_EQ(in.call({"wm", "resizable", ".error"}), "0 0");
        EXPECT_EQ(in.call({"wm", "attributes", ".error", "-topmost"}), "1") << "above other windows";
        EXPECT_EQ(in.call({"wm", "geometry", ".error"}),
                  ui::detail::centered_geometry(560, 260, in.call_int({"winfo", "screenwidth", "."}),
                                                in.call_int({"winfo", "screenheight", "."})));
        EXPECT_EQ(text_of(in, ".error.title"), title);
        EXPECT_EQ(uitest::option_of(in, ".error.title", "-foreground"), "#991b1b");
        EXPECT_EQ(uitest::option_of(in, ".error.title", "-font"), "{Segoe UI} 11 bold");
        EXPECT_EQ(in.call({".error.message", "get", "1.0", "end - 1 char"}),
                  std::string(failure.what()) + "\n\n" + t("error_log_saved", "kk") + "\n" + platform::utf8(log()) +
                      "\n\n" + t("error_send_log", "kk", {{"url", SUPPORT}}));
        EXPECT_EQ(in.call_int({"winfo", "width", ".error.message"}), 560 - 2 * 18);
        // Every line shows: the text is as tall as its wrapped lines.
        EXPECT_EQ(in.call_int({".error.message", "cget", "-height"}),
                  in.call_int({".error.message", "count", "-displaylines", "1.0", "end"}));
        // The log's path and the link can be selected and copied, though nothing can be typed.
        struct Part {
            const char* tag;
            std::string text;
        };
        for (const Part& part : {Part{"path", platform::utf8(log())}, Part{"link", SUPPORT}}) {
            in.call({".error.message", "tag", "remove", "sel", "1.0", "end"});
            in.call({".error.message", "tag", "add", "sel", std::string(part.tag) + ".first",
                     std::string(part.tag) + ".last"});
            in.call({"clipboard", "clear"});
            in.call({"event", "generate", ".error.message", "<<Copy>>"});
            EXPECT_EQ(in.call({"clipboard", "get"}), part.text) << part.tag;
        }
        in.call({".error.message", "insert", "end", "typed"});
        EXPECT_EQ(in.call({".error.message", "get", "end - 6 chars", "end - 1 char"}), "pport") << "read-only";
        // A click on the link opens it.
        in.call({".error.message", "tag", "remove", "sel", "1.0", "end"});
        in.call({".error.message", "see", "link.first"});
        std::istringstream box(in.call({".error.message", "bbox", "link.first + 3 chars"}));
        int x = 0, y = 0;
        box >> x >> y;
        in.call({"event", "generate", ".error.message", "<Motion>", "-x", x + 1, "-y", y + 1});
        EXPECT_EQ(in.call({".error.message", "cget", "-cursor"}), "hand2") << "the link looks clickable";
        in.call({"event", "generate", ".error.message", "<ButtonPress-1>", "-x", x + 1, "-y", y + 1});
        in.call({"event", "generate", ".error.message", "<ButtonRelease-1>", "-x", x + 1, "-y", y + 1});
        EXPECT_EQ(text_of(in, ".error.buttons.log"), t("error_open_log_folder", "kk"));
        EXPECT_EQ(text_of(in, ".error.buttons.ok"), "OK");
        EXPECT_TRUE(fs::exists(log())) << "the entry is written before the dialog shows";
        in.call({".error.buttons.log", "invoke"});
        EXPECT_TRUE(in.exists(".error")) << "the log-folder button keeps the dialog open";
        in.call({".error.buttons.ok", "invoke"});
    });
    ui::show_error_dialog(program.context(), title, failure.what(), &failure, "ZIP: day.zip\nNUP: 4");
    EXPECT_EQ(tk::Interp::current(), nullptr);
    // The openers run side by side: their records come in either order.
    std::vector<std::string> opened = opener.opened(2);
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{platform::utf8(log().parent_path()), SUPPORT}));
    const std::string entry = fixtures::read_bytes(log());
    EXPECT_NE(entry.find("Title: " + title + "\r\nExtra:\r\nZIP: day.zip\r\nNUP: 4\r\n"), std::string::npos);
}

TEST_F(ErrorDialogTest, TitleBarCloseActsLikeOkAndOkStaysOkInRussian) {
    use_language("ru");
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        EXPECT_EQ(text_of(in, ".error.buttons.ok"), "OK");
        EXPECT_EQ(text_of(in, ".error.buttons.log"), t("error_open_log_folder", "ru"));
        uitest::close_from_title_bar(in, ".error");
    });
    ui::show_error_dialog(program.context(), t("error_pdf_failed", "ru"), "В архиве не найдено PDF-файлов");
    EXPECT_EQ(tk::Interp::current(), nullptr);
}

TEST_F(ErrorDialogTest, ALongMessageMakesTheDialogTallerNotClipped) {
    use_language("ru");
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        const int needed = in.call_int({"winfo", "reqheight", ".error"});
        EXPECT_GT(needed, 260);
        EXPECT_EQ(in.call({"wm", "geometry", ".error"}),
                  ui::detail::centered_geometry(560, needed, in.call_int({"winfo", "screenwidth", "."}),
                                                in.call_int({"winfo", "screenheight", "."})));
        in.call({".error.buttons.ok", "invoke"});
    });
    std::string text = t("pdf_damaged_many", "ru", {{"count", 12}, {"names", ""}});
    for (int i = 0; i < 12; ++i) text += "\nC:\\Users\\Продавец\\Заказы\\накладная_" + std::to_string(i) + ".pdf";
    ui::show_error_dialog(program.context(), t("error_pdf_failed", "ru"), text);
}

// The dialog never depends on the log: the failure's own message, then where the log
// could not be written and why, in the user's language.
TEST_F(ErrorDialogTest, ALogThatCannotBeWrittenIsOneMoreLineOfTheDialog) {
    const fs::path logs = program.program() / "logs";
    struct Case {
        const char* what;
        const char* lang;
        std::function<void()> arrange;
        const char* reason;
        std::string detail{};
    };
    const std::vector<Case> cases = {
        {"logs is a file", "ru", [&] { fixtures::write_bytes(logs, "a file where the folder should be"); },
         "fs_not_a_folder"},
        {"disk full", "kk",
         [&] {
             fs::create_directories(logs);
             fs::create_symlink("/dev/full", logs / "error.log");
         },
         "fs_disk_full"},
        {"error.log is a folder", "ru", [&] { fs::create_directories(logs / "error.log"); }, "fs_other",
         "\n\n" + t("error_detail", "ru", {{"detail", "Is a directory"}})},
    };
    const std::string title = t("error_pdf_failed", "ru");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(logs);
        use_language(c.lang);
        c.arrange();
        const std::string expected =
            "История не сохранена: диск занят\n\n" + t("error_log_not_written", c.lang, {{"path", log()}}) + "\n" +
            t(c.reason, c.lang) + c.detail + "\n\n" + t("error_write_support", c.lang, {{"url", SUPPORT}});
        uitest::Driver driver;
        driver.then([&](tk::Interp& in) {
            EXPECT_EQ(text_of(in, ".error.title"), title);
            EXPECT_EQ(in.call({".error.message", "get", "1.0", "end - 1 char"}), expected);
            EXPECT_EQ(uitest::option_of(in, ".error.buttons.log", "-state"), "disabled") << "there is no log to open";
            in.call({".error.buttons.ok", "invoke"});
        });
        ui::show_error_dialog(program.context(), title, "История не сохранена: диск занят");
        EXPECT_EQ(driver.waits, 1);
    }
    // Without a display the same texts go to standard error.
    fs::remove_all(logs);
    fixtures::write_bytes(logs, "a file where the folder should be");
    use_language("ru");
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    ::testing::internal::CaptureStderr();
    ui::show_error_dialog(program.context(), title, "текст");
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("текст\n\n" +
                                                            t("error_log_not_written", "ru", {{"path", log()}})),
              std::string::npos);
}

TEST_F(ErrorDialogTest, WithoutADisplayTheLogIsWrittenAndTheTextsGoToStandardError) {
    use_language("ru");
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    const diag::RuntimeError failure("В архиве не найдено PDF-файлов");
    ::testing::internal::CaptureStderr();
    ui::show_error_dialog(program.context(), t("error_pdf_failed", "ru"), failure.what(), &failure,
                          "ZIP: a.zip\nNUP: 1");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              t("error_pdf_failed", "ru") + "\n\nВ архиве не найдено PDF-файлов\n\n" + t("error_log_saved", "ru") +
                  "\n" + platform::utf8(log()) + "\n\n" + t("error_send_log", "ru", {{"url", SUPPORT}}) + "\n");
    EXPECT_NE(fixtures::read_bytes(log()).find("Exception:\r\nВ архиве не найдено PDF-файлов\r\n"), std::string::npos);
}

}  // namespace
