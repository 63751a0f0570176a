// Every window from the keyboard, on real Tk windows: keys go to the widget that has the
// focus, as the window manager would send them once the window is active.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "support/program_dir.hpp"
#include "support/temp_dir.hpp"
#include "ui/error_dialog.hpp"
#include "ui/language_window.hpp"
#include "ui/old_sheets.hpp"
#include "ui/result_window.hpp"
#include "ui/ui_support.hpp"
#include "ui/window.hpp"

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;
using Keys = std::vector<std::string>;

// Processes events until `done` holds or ten seconds pass (a busy machine maps windows
// and delivers focus late); false when it never held.
template <class Done>
bool settle(tk::Interp& in, Done&& done) {
    for (int i = 0; i < 1000; ++i) {
        in.update();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Gives `window` the focus as a window manager would, once the window is on the screen
// and has put its own focus on one of its widgets, and waits until the X server has
// told Tk so.
void activate(tk::Interp& in, const std::string& window) {
    ASSERT_TRUE(settle(in, [&] { return uitest::shown_with_focus(in, window); }))
        << window << " never showed with its focus on a widget";
    const std::string target = in.call({"focus", "-lastfor", window});
    in.call({"focus", "-force", target});
    ASSERT_TRUE(settle(in, [&] { return in.call({"focus"}) == target; })) << target << " never got the focus";
}

// Presses each key on whatever has the focus at that moment, `window` activated before
// each as a window manager would keep it active (the focus goes to the widget that last
// had it there): another test's window may take the X server's focus meanwhile.
void type(tk::Interp& in, const std::string& window, const Keys& keys) {
    for (const std::string& key : keys) {
        activate(in, window);
        const std::string target = in.call({"focus"});
        ASSERT_FALSE(target.empty()) << "nothing has the focus before " << key;
        in.call({"event", "generate", target, "<" + key + ">"});
        in.update();
    }
}

// Closes `window` from its title bar if the keys left it open, so that a window that
// ignores its keys fails the test instead of waiting for ever.
void close_if_open(tk::Interp& in, const std::string& window) {
    if (in.exists(window)) uitest::close_from_title_bar(in, window);
}

// The widgets the focus visits from the window's first one, Tab after Tab, until it
// comes back.
Keys tab_order(tk::Interp& in, const std::string& window) {
    activate(in, window);
    Keys order{in.call({"focus"})};
    for (int i = 0; i < 20; ++i) {
        type(in, window, {"Tab"});
        const std::string next = in.call({"focus"});
        if (next == order.front()) break;
        order.push_back(next);
    }
    return order;
}

class KeyboardTest : public ::testing::Test {
protected:
    fixtures::ProgramDir program;
    void SetUp() override { i18n::write_language(program.context().data_dir, "ru"); }
};

TEST_F(KeyboardTest, ModeChooser) {
    struct Case {
        Keys keys;
        std::optional<int> chosen;
    };
    for (const Case& c : {Case{{"Return"}, 1}, Case{{"Tab", "Tab", "Return"}, 6}, Case{{"Tab", "KP_Enter"}, 4},
                          Case{{"Shift-Tab", "Return"}, 9}, Case{{"Tab", "Escape"}, std::nullopt}}) {
        tk::Interp root;
        uitest::Driver driver;
        driver.then([&c](tk::Interp& in) {
            type(in, ".choice", c.keys);
            close_if_open(in, ".choice");
        });
        EXPECT_EQ(ui::simple_choice(program.context(), root), c.chosen)
            << c.keys.size() << " keys, then " << c.keys.back();
        EXPECT_FALSE(root.exists(".choice"));
    }
}

TEST_F(KeyboardTest, LanguageChooser) {
    struct Case {
        const char* current;
        Keys keys;
        std::optional<std::string> chosen;
    };
    for (const Case& c : {Case{"kk", {"Return"}, "kk"}, Case{"ru", {"Return"}, "ru"},
                          Case{"ru", {"Tab", "Return"}, "kk"}, Case{"kk", {"Escape"}, std::nullopt}}) {
        i18n::write_language(program.context().data_dir, c.current);
        uitest::Driver driver;
        driver.then([&c](tk::Interp& in) {
            type(in, ".", c.keys);
            close_if_open(in, ".");
        });
        EXPECT_EQ(ui::choose_language_window(program.context()), c.chosen) << c.current << ", then " << c.keys.back();
    }
}

TEST_F(KeyboardTest, ResultWindow) {
    uitest::FakeOpener opener(program.root());
    const fs::path out = program.root() / "Заказы";
    fs::create_directories(out);
    job::MergeResult result;
    result.nup = 4;
    result.out_pdf = result.out_pdf_all = out / "day_Tarvo PDF Mergalo_MERGED_4up.pdf";
    uitest::Driver driver;
    driver.then([](tk::Interp& in) {
        // Visual order, left to right and row by row; the disabled "new" button is skipped.
        const std::string top = ".done.buttons.top.", bottom = ".done.buttons.bottom.";
        EXPECT_EQ(tab_order(in, ".done"), (Keys{top + "all", top + "folder", top + "tidy", bottom + "help",
                                                bottom + "language", bottom + "close"}));
        for (const auto& button : {top + "all", top + "tidy", bottom + "close"})
            EXPECT_EQ(uitest::option_of(in, button, "-highlightthickness"), "2") << "a clear focus ring";
        // Enter opens the folder, the focused button, and the window stays; Escape closes it.
        type(in, ".done", {"Tab", "Return"});
        EXPECT_TRUE(in.exists(".done"));
        type(in, ".done", {"Escape"});
        EXPECT_FALSE(in.exists(".done")) << "Escape closes the window";
        close_if_open(in, ".done");
    });
    ui::show_done(program.context(), result);
    EXPECT_EQ(opener.opened(1), Keys{platform::utf8(out)});
}

TEST_F(KeyboardTest, ErrorDialog) {
    struct Case {
        Keys keys;
        std::size_t folders_opened;
    };
    uitest::FakeOpener opener(program.root());
    const diag::FileNotFound failure(i18n::t("zip_not_found", "ru", {{"path", "day.zip"}}));
    std::size_t opened = 0;
    for (const Case& c : {Case{{"Return"}, 0}, Case{{"Escape"}, 0}, Case{{"Shift-Tab", "Return", "Escape"}, 1}}) {
        uitest::Driver driver;
        driver.then([&c](tk::Interp& in) {
            EXPECT_EQ(in.call({"focus", "-lastfor", ".error"}), ".error.buttons.ok");
            type(in, ".error", c.keys);
            EXPECT_FALSE(in.exists(".error")) << "the keys close the dialog";
            close_if_open(in, ".error");
        });
        ui::show_error_dialog(program.context(), i18n::t("error_pdf_failed", "ru"), failure.what(), &failure);
        opened += c.folders_opened;
        EXPECT_EQ(opener.opened(opened).size(), opened) << c.keys.front();
    }
}

TEST_F(KeyboardTest, EnterOrEscapeAtTheRealCleanUpQuestionDeletesNothing) {
    const fs::path folder = program.root() / "Заказы";
    const fs::path old = folder / "a_Tarvo PDF Mergalo_MERGED.pdf";
    fixtures::write_bytes(old, "%PDF-1.7\n");
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours{24 * 4});
    for (const char* key : {"Return", "KP_Enter", "Escape"}) {
        tk::detail::Hooks hooks;  // no answerer: the real box opens and takes the key
        std::string focused;
        hooks.on_wait = [&focused, key](tk::Interp& in) {
            uitest::when_shown(in, ".__tk__messagebox", [&in, &focused, key] {
                activate(in, ".__tk__messagebox");
                focused = in.call({"focus"});
                if (!focused.empty()) in.call({"event", "generate", focused, std::string("<") + key + ">"});
                if (in.exists(".__tk__messagebox")) in.call({"destroy", ".__tk__messagebox"});
            });
        };
        tk::detail::set_hooks(hooks);
        ui::clean_old_sheets(program.context(), folder, "kk");
        tk::detail::set_hooks({});
        EXPECT_EQ(focused, ".__tk__messagebox.no") << key;
        EXPECT_TRUE(fs::exists(old)) << key;
    }
}

}  // namespace
