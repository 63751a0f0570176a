// Window helpers on real Tk windows: centring, the icon, the mode chooser and the help
// page.
#include "ui/window.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/program_dir.hpp"
#include "support/temp_dir.hpp"
#include "ui/ui_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using uitest::text_of;

TEST(CenteredGeometry, HalfTheFreeSpaceRoundedDownNeverBelowZero) {
    struct Case {
        int w, h, sw, sh;
        const char* want;
    };
    for (const Case& c : std::initializer_list<Case>{
             {420, 150, 1920, 1080, "420x150+750+465"},
             {321, 100, 1366, 768, "321x100+522+334"},  // odd free space: half of 1045 is 522
             {560, 260, 1920, 1080, "560x260+680+410"},
             {2500, 150, 1920, 1080, "2500x150+0+465"},  // wider than the screen: left edge
             {300, 1200, 1920, 1080, "300x1200+810+0"},
             {1920, 1080, 1920, 1080, "1920x1080+0+0"},
         })
        EXPECT_EQ(ui::detail::centered_geometry(c.w, c.h, c.sw, c.sh), c.want) << c.w << "x" << c.h;
}

// Windows of merges shown at once stand off one another, as far as the screen allows.
TEST(CenteredGeometry, AShiftMovesRightAndDownButNeverOffTheScreen) {
    struct Case {
        int w, h, shift;
        const char* want;
    };
    for (const Case& c : std::initializer_list<Case>{
             {420, 150, 72, "420x150+822+537"},
             {1900, 1000, 36, "1900x1000+20+76"},  // 20 and 80 pixels free: up to the edge
             {1910, 1070, 36, "1910x1070+10+10"},  // at the edge already: stays centred
             {2500, 150, 36, "2500x150+0+501"},    // wider than the screen: the left edge
         })
        EXPECT_EQ(ui::detail::centered_geometry(c.w, c.h, 1920, 1080, c.shift), c.want) << c.w << "+" << c.shift;
}

// Merges running at once each hold the lowest slot no live holder has; a slot let go is
// taken again; past the last one a window stays centred.
TEST(WindowSlot, EachHolderTakesTheLowestFreeStep) {
    fixtures::TempDir dir;
    std::vector<std::unique_ptr<ui::WindowSlot>> held;
    for (int i = 0; i < ui::WindowSlot::SLOTS; ++i) {
        held.push_back(std::make_unique<ui::WindowSlot>(dir.path(), "mergalo"));
        EXPECT_EQ(held.back()->step(), i);
    }
    EXPECT_EQ(ui::WindowSlot(dir.path(), "mergalo").step(), 0) << "every slot taken";
    held[2].reset();
    EXPECT_EQ(ui::WindowSlot(dir.path(), "mergalo").step(), 2);
    EXPECT_EQ(ui::WindowSlot(dir / "missing", "mergalo").step(), 0);
}

TEST(ParseSize, ExactlyTwoWholeNumbersAroundOneX) {
    using P = std::optional<std::pair<int, int>>;
    EXPECT_EQ(ui::detail::parse_size("420x150+750+465"), (P{{420, 150}}));
    EXPECT_EQ(ui::detail::parse_size("1x1+0+0"), (P{{1, 1}}));
    EXPECT_EQ(ui::detail::parse_size("640x480"), (P{{640, 480}}));
    for (const char* bad : {"", "+1+2", "x150+1+2", "420x+1+2", "420x150x3+1+2", "420*150+1+2", "a x b", "4.5x3"})
        EXPECT_EQ(ui::detail::parse_size(bad), std::nullopt) << bad;
}

class WindowTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    void use_language(const char* lang) { i18n::write_language(program.context().data_dir, lang); }
};

TEST_F(WindowTest, CenterWindowSetsSizeAndPositionTogether) {
    tk::Interp in;
    const auto win = tk::Widget::create(in, "toplevel", ".", "w");
    ui::center_window(program.context(), win, 420, 150);
    in.update();
    const int sw = in.call_int({"winfo", "screenwidth", "."});
    const int sh = in.call_int({"winfo", "screenheight", "."});
    EXPECT_EQ(in.call({"wm", "geometry", win.path()}), ui::detail::centered_geometry(420, 150, sw, sh));

    // Wider than the screen: placed at the left edge, never at a negative offset.
    ui::center_window(program.context(), win, sw + 300, 100);
    in.update();
    EXPECT_EQ(in.call({"wm", "geometry", win.path()}), ui::detail::centered_geometry(sw + 300, 100, sw, sh));
    EXPECT_EQ(in.call({"winfo", "x", win.path()}), "0");
}

TEST_F(WindowTest, CenterWindowWithoutBothSizesKeepsTheWindowsOwnSize) {
    tk::Interp in;
    const auto win = tk::Widget::create(in, "toplevel", ".", "w");
    tk::Widget::create(in, "frame", win.path(), "f", {"-width", 333, "-height", 111}).pack();
    ui::center_window(program.context(), win);
    in.update();
    const int sw = in.call_int({"winfo", "screenwidth", "."});
    const int sh = in.call_int({"winfo", "screenheight", "."});
    EXPECT_EQ(in.call({"wm", "geometry", win.path()}), ui::detail::centered_geometry(333, 111, sw, sh));
    // A single size is ignored as well.
    ui::center_window(program.context(), win, 500, std::nullopt);
    in.update();
    EXPECT_EQ(in.call({"wm", "geometry", win.path()}), ui::detail::centered_geometry(333, 111, sw, sh));
}

TEST_F(WindowTest, CenterWindowNeverFailsOnAGoneWindow) {
    tk::Interp in;
    const auto win = tk::Widget::create(in, "toplevel", ".", "w");
    win.destroy();
    EXPECT_NO_THROW(ui::center_window(program.context(), win, 420, 150));
    EXPECT_NO_THROW(ui::center_window(program.context(), win));
}

TEST_F(WindowTest, IconComesFromTheResourceFolderAndIsOptional) {
    EXPECT_EQ(program.context().icon_name, "mergalo.ico");
    EXPECT_EQ(program.context().icon_file(), program.resources() / "assets" / "mergalo.ico");
    {
        // Missing icon: the window opens all the same, with Tk's own icon.
        tk::Interp in;
        const auto win = tk::Widget::create(in, "toplevel", ".", "w");
        EXPECT_NO_THROW(ui::center_window(program.context(), win, 200, 100));
        EXPECT_EQ(in.call({"image", "names"}).find("mergalo_icon"), std::string::npos);
        EXPECT_FALSE(fs::exists(program.program() / "logs")) << "a missing icon is not logged";
    }
    {
        // A real PNG beside the .ico (written by Tk itself) is put on the window.
        tk::Interp in;
        fs::create_directories(program.resources() / "assets");
        in.call({"image", "create", "photo", "drawn", "-width", 16, "-height", 16});
        in.call({"drawn", "put", "#1d4ed8", "-to", 0, 0, 16, 16});
        in.call({"drawn", "write", program.resources() / "assets" / "mergalo.png", "-format", "png"});
        const auto win = tk::Widget::create(in, "toplevel", ".", "w");
        ui::icon::apply(win, program.context().icon_file());
        EXPECT_NE(in.call({"image", "names"}).find("mergalo_icon"), std::string::npos);
        EXPECT_EQ(in.call({"image", "width", "mergalo_icon"}), "16");
        win.destroy();
        ui::icon::apply(win, program.context().icon_file());  // a destroyed window is no failure
        EXPECT_FALSE(in.exists(win.path()));
    }
}

TEST_F(WindowTest, ModeChooserReturnsThePressedLayout) {
    use_language("ru");
    tk::Interp root;
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        EXPECT_EQ(in.call({"wm", "title", ".choice"}), "Tarvo PDF Mergalo");
        EXPECT_EQ(in.call({"wm", "resizable", ".choice"}), "0 0");
        EXPECT_TRUE(in.call({"wm", "geometry", ".choice"}).starts_with("320x220+"));
        const auto kids = uitest::children_of(in, ".choice");
        ASSERT_EQ(kids.size(), 5u);
        EXPECT_EQ(text_of(in, kids[0]), i18n::t("choose_mode", "ru"));
        const std::vector<const char*> want{"mode_1up", "mode_4up", "mode_6up", "mode_9up"};
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(text_of(in, kids[i + 1]), i18n::t(want[i], "ru"));
            EXPECT_EQ(uitest::option_of(in, kids[i + 1], "-width"), "24");
        }
        // Top to bottom in that order.
        EXPECT_LT(in.call_int({"winfo", "y", kids[1]}), in.call_int({"winfo", "y", kids[2]}));
        EXPECT_LT(in.call_int({"winfo", "y", kids[3]}), in.call_int({"winfo", "y", kids[4]}));
        in.call({kids[2], "invoke"});
    });
    EXPECT_EQ(ui::simple_choice(program.context(), root), 4);
    EXPECT_FALSE(root.exists(".choice"));
    EXPECT_TRUE(root.exists(".")) << "the caller's hidden main window stays";
}

// Several archives picked at once: the chooser says how many it merges, above its
// question, and everything still fits in its window.
TEST_F(WindowTest, ModeChooserForSeveralArchivesSaysHowMany) {
    for (const char* lang : {"ru", "kk"}) {
        use_language(lang);
        tk::Interp root;
        uitest::Driver driver;
        driver.then([lang](tk::Interp& in) {
            const auto kids = uitest::children_of(in, ".choice");
            ASSERT_EQ(kids.size(), 6u);
            EXPECT_EQ(text_of(in, kids[0]), i18n::t("choose_mode_archives", lang, {{"count", 3}}));
            EXPECT_EQ(text_of(in, kids[1]), i18n::t("choose_mode", lang));
            const std::string last = kids.back();
            EXPECT_LE(in.call_int({"winfo", "y", last}) + in.call_int({"winfo", "height", last}),
                      in.call_int({"winfo", "height", ".choice"}))
                << lang << ": the last button is cut";
            EXPECT_LE(in.call_int({"winfo", "reqwidth", kids[0]}), in.call_int({"winfo", "width", ".choice"})) << lang;
            uitest::close_from_title_bar(in, ".choice");
        });
        EXPECT_EQ(ui::simple_choice(program.context(), root, 3), std::nullopt);
    }
}

TEST(ArchiveWindowTitle, NamesThePlaceOnlyAmongSeveral) {
    fixtures::ProgramDir program;
    product::Context ctx = program.context();
    EXPECT_EQ(ui::archive_window_title(ctx, "ru"), "Tarvo PDF Mergalo");
    ctx.archive_index = 1;
    ctx.archive_count = 2;
    EXPECT_EQ(ui::archive_window_title(ctx, "ru"), "Tarvo PDF Mergalo — архив 1 из 2");
    EXPECT_EQ(ui::archive_window_title(ctx, "kk"), "Tarvo PDF Mergalo — 1-мұрағат, барлығы 2");
}

TEST_F(WindowTest, ModeChooserClosedFromTheTitleBarReturnsNothing) {
    use_language("kk");
    tk::Interp root;
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        EXPECT_EQ(text_of(in, ".choice.mode4"), i18n::t("mode_4up", "kk"));
        uitest::close_from_title_bar(in, ".choice");
    });
    EXPECT_EQ(ui::simple_choice(program.context(), root), std::nullopt);
    EXPECT_FALSE(root.exists(".choice"));
    EXPECT_TRUE(root.exists("."));
}

TEST_F(WindowTest, HelpPageFollowsTheLanguage) {
    const fs::path help = program.resources() / "help";
    struct Case {
        const char* lang;
        std::vector<std::string> present;
        const char* want;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"kk", {"Instruction.html", "Instruction_kk.html"}, "Instruction_kk.html"},
             {"kk", {"Instruction.html"}, "Instruction.html"},
             {"kk", {}, "Instruction.html"},
             {"ru", {"Instruction.html", "Instruction_kk.html", "Instruction_ru.html"}, "Instruction.html"},
             {"ru", {"Instruction_ru.html"}, "Instruction.html"},
         }) {
        fs::remove_all(help);
        for (const auto& name : c.present) fixtures::write_bytes(help / name, "<html></html>");
        use_language(c.lang);
        EXPECT_EQ(program.context().help_file(), help / c.want) << c.lang << " with " << c.present.size() << " page(s)";
    }
}

TEST_F(WindowTest, OpenHelpOpensThePageElseTheSupportChat) {
    uitest::FakeOpener opener(program.root());
    const fs::path help = program.resources() / "help";
    fixtures::write_bytes(help / "Instruction.html", "<html></html>");
    fixtures::write_bytes(help / "Instruction_kk.html", "<html></html>");
    use_language("kk");
    ui::open_help(program.context());
    auto opened = opener.opened(1);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], platform::utf8(fs::canonical(help / "Instruction_kk.html")));

    fs::remove_all(help);
    ui::open_help(program.context());
    opened = opener.opened(2);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1], ui::TELEGRAM_URL);
    EXPECT_TRUE(opened[1].starts_with("https://t.me/"));
}

}  // namespace
