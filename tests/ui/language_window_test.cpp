// The language chooser on real Tk windows.
#include "ui/language_window.hpp"

#include <gtest/gtest.h>

#include "i18n/catalogue.hpp"
#include "support/program_dir.hpp"
#include "ui/ui_support.hpp"

namespace {

namespace tk = ui::tk;
using uitest::text_of;

TEST(ChooserPosition, CentredAcrossOneThirdDownNoLowerBound) {
    EXPECT_EQ(ui::detail::chooser_position(300, 150, 1920, 1080), "+810+310");
    EXPECT_EQ(ui::detail::chooser_position(301, 151, 1366, 768), "+532+205");
    EXPECT_EQ(ui::detail::chooser_position(2001, 1200, 1920, 1080), "+-41+-40");
}

class LanguageWindowTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
};

// What every chooser shows, whatever the current language: a Russian heading above
// "Русский" (left) and "Қазақша" (right), placed by the one-third rule.
void check_chooser(tk::Interp& in, const std::string& win) {
    EXPECT_EQ(in.call({"wm", "title", win}), "Tarvo PDF Mergalo");
    EXPECT_EQ(in.call({"wm", "resizable", win}), "0 0");
    const std::string frame = win == "." ? ".frame" : win + ".frame";
    EXPECT_EQ(in.call({"winfo", "class", frame}), "TFrame");
    EXPECT_EQ(uitest::option_of(in, frame, "-padding"), "24");
    EXPECT_EQ(in.call({"winfo", "class", frame + ".heading"}), "TLabel");
    EXPECT_EQ(text_of(in, frame + ".heading"), i18n::t("choose_language", "ru"));
    EXPECT_EQ(uitest::option_of(in, frame + ".heading", "-font"), "{Segoe UI} 12");
    EXPECT_EQ(text_of(in, frame + ".ru"), "Русский");
    EXPECT_EQ(text_of(in, frame + ".kk"), "Қазақша");
    EXPECT_EQ(in.call({"winfo", "class", frame + ".kk"}), "TButton");
    EXPECT_EQ(uitest::option_of(in, frame + ".kk", "-width"), "16");
    EXPECT_EQ(in.call({"dict", "get", in.call({"grid", "info", frame + ".ru"}), "-column"}), "0");
    EXPECT_EQ(in.call({"dict", "get", in.call({"grid", "info", frame + ".kk"}), "-column"}), "1");
    EXPECT_EQ(in.call({"dict", "get", in.call({"grid", "info", frame + ".heading"}), "-columnspan"}), "2");
    const int w = in.call_int({"winfo", "width", win});
    const int h = in.call_int({"winfo", "height", win});
    // The position asked of the window manager (the window's own report of where it is
    // may lag behind on a busy X server).
    const std::string geometry = in.call({"wm", "geometry", win});
    EXPECT_EQ(geometry.substr(geometry.find('+')),
              ui::detail::chooser_position(w, h, in.call_int({"winfo", "screenwidth", win}),
                                           in.call_int({"winfo", "screenheight", win})));
}

TEST_F(LanguageWindowTest, OnItsOwnMainWindowReturnsThePressedCode) {
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        check_chooser(in, ".");
        in.call({".frame.kk", "invoke"});
    });
    EXPECT_EQ(ui::choose_language_window(program.context()), "kk");
    EXPECT_EQ(tk::Interp::current(), nullptr) << "its own main window is gone";
}

TEST_F(LanguageWindowTest, ClosedFromTheTitleBarReturnsNothing) {
    uitest::Driver driver;
    driver.then([](tk::Interp& in) { uitest::close_from_title_bar(in, "."); });
    EXPECT_EQ(ui::choose_language_window(program.context()), std::nullopt);
}

TEST_F(LanguageWindowTest, AsAChildTheParentStaysOpenAndWorking) {
    tk::Interp in;
    const auto parent = tk::Widget::create(in, "toplevel", ".", "done");
    int clicks = 0;
    const auto button =
        tk::Widget::create(in, "button", parent.path(), "b", {"-command", in.command([&clicks] { ++clicks; })});
    uitest::Driver driver;
    driver.then([&](tk::Interp& i) {
        check_chooser(i, ".done.language");
        EXPECT_EQ(i.call({"grab", "current"}), "") << "not modal";
        button.invoke();  // the parent works while the chooser is open
        uitest::close_from_title_bar(i, ".done.language");
    });
    EXPECT_EQ(ui::choose_language_window(program.context(), &parent), std::nullopt);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(in.exists(".done"));
    EXPECT_FALSE(in.exists(".done.language"));

    driver.then([](tk::Interp& i) { i.call({".done.language.frame.ru", "invoke"}); });
    EXPECT_EQ(ui::choose_language_window(program.context(), &parent), "ru");
    EXPECT_TRUE(in.exists(".done"));
}

TEST_F(LanguageWindowTest, WithoutADisplayItSaysSoAndReturnsNothing) {
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    fixtures::EnvVar russian("LANGUAGE", "ru");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ui::choose_language_window(program.context()), std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), i18n::t("no_window", "ru") + "\n");
}

}  // namespace
