// The Tcl/Tk layer: words reach Tk exactly as given, C++ exceptions cross Tcl intact,
// event loops end as they should, real message boxes and file dialogs, and no display.
#include "ui/tk.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "diag/errors.hpp"
#include "support/program_dir.hpp"
#include "ui/ui_support.hpp"

namespace {

namespace tk = ui::tk;

TEST(Tk, TextWithTclSpecialCharactersArrivesLiterally) {
    tk::Interp in;
    const std::string texts[] = {
        "C:\\Users\\Продавец\\Заказы {день} \"1\" [exit] $env(HOME) ; set x 1",
        "}{ unbalanced \\",
        "[destroy .]",
        "жүкқұжат әғқңөұүһі",
        "",
        "line one\nline two",
    };
    for (const std::string& text : texts) {
        const auto label = tk::Widget::create(in, "label", ".", "l", {"-text", text});
        EXPECT_EQ(label.cget("-text"), text);
        label.destroy();
    }
    EXPECT_TRUE(in.exists(".")) << "nothing in the texts ran as a command";
    EXPECT_EQ(in.call({"set", "x", "unchanged"}), "unchanged");
    // Lists keep their elements apart even when they hold spaces and braces.
    EXPECT_EQ(in.call({"lindex", tk::Word::list({"a b", "{c", "d}"}), 1}), "{c");
    EXPECT_EQ(in.call({"lindex", tk::Word(tk::font(11, "bold")), 0}), "Segoe UI");
}

TEST(Tk, ChildNamesAreUnique) {
    tk::Interp in;
    EXPECT_EQ(in.child(".", "w"), ".w");
    tk::Widget::create(in, "toplevel", ".", "w");
    EXPECT_EQ(in.child(".", "w"), ".w2");
    EXPECT_EQ(in.child(".w", "b"), ".w.b");
}

TEST(Tk, AnActionsExceptionComesBackUnchangedThroughCall) {
    tk::Interp in;
    const std::string cmd = in.command([] { throw diag::InvalidValue("неизвестный язык: en"); });
    try {
        in.call({cmd});
        FAIL() << "the exception was lost";
    } catch (const diag::InvalidValue& e) {
        EXPECT_STREQ(e.what(), "неизвестный язык: en");
    }
    // The interpreter is still usable, and the next call does not see the old failure.
    EXPECT_EQ(in.call({"expr", "1 + 2"}), "3");

    // Through a button's -command as well.
    const auto button =
        tk::Widget::create(in, "button", ".", "b", {"-command", in.command([] { throw std::out_of_range("index"); })});
    EXPECT_THROW(button.invoke(), std::out_of_range);
}

TEST(Tk, AnActionsExceptionEndsTheEventLoopAndIsRethrown) {
    tk::Interp in;
    int later = 0;
    in.call({"after", 10, in.command([] { throw diag::RuntimeError("сбой в обработчике"); })});
    in.call({"after", 5000, in.command([&later] { ++later; })});
    try {
        in.mainloop();
        FAIL() << "mainloop ended without the exception";
    } catch (const diag::RuntimeError& e) {
        EXPECT_STREQ(e.what(), "сбой в обработчике");
    }
    EXPECT_EQ(later, 0) << "the loop stopped at the failure";
}

TEST(Tk, ATclErrorInAnEventBecomesATclError) {
    tk::Interp in;
    in.call({"after", 10, "no_such_command_here"});
    try {
        in.mainloop();
        FAIL() << "the background error was lost";
    } catch (const tk::TclError& e) {
        EXPECT_NE(std::string(e.what()).find("no_such_command_here"), std::string::npos) << e.what();
    }
    EXPECT_THROW(in.call({"no_such_command_here"}), tk::TclError);
}

TEST(Tk, LoopsEndOnQuitOnDestroyAndWhenTheirWindowGoes) {
    tk::Interp in;
    in.call({"after", 10, in.command([&in] { in.quit(); })});
    in.mainloop();  // returns: quit
    EXPECT_TRUE(in.exists("."));

    const auto win = tk::Widget::create(in, "toplevel", ".", "w");
    in.call({"after", 10, in.command([&win] { win.destroy(); })});
    in.wait_window(win.path());  // returns: the window is gone
    EXPECT_FALSE(in.exists(win.path()));

    // quit() does not end a wait for a window.
    const auto other = tk::Widget::create(in, "toplevel", ".", "w");
    in.call({"after", 10, in.command([&in] { in.quit(); })});
    in.call({"after", 40, in.command([&other] { other.destroy(); })});
    in.wait_window(other.path());
    EXPECT_FALSE(in.exists(other.path()));

    in.call({"after", 10, "destroy ."});
    in.mainloop();  // returns: the main window is gone
    EXPECT_FALSE(in.exists("."));
}

TEST(Tk, CurrentIsTheInnermostLiveInterpreter) {
    EXPECT_EQ(tk::Interp::current(), nullptr);
    {
        tk::Interp outer;
        EXPECT_EQ(tk::Interp::current(), &outer);
        {
            tk::Interp inner;
            EXPECT_EQ(tk::Interp::current(), &inner);
        }
        EXPECT_EQ(tk::Interp::current(), &outer);
    }
    EXPECT_EQ(tk::Interp::current(), nullptr);
}

TEST(Tk, RealMessageBoxShowsTheTextAndAnswers) {
    // No answerer: the real tk_messageBox opens; the test reads it and closes it.
    tk::detail::Hooks hooks;
    std::string shown;
    hooks.on_wait = [&shown](tk::Interp& in) {
        in.call({"after", 50, in.command([&in, &shown] {
                     shown = in.call({".__tk__messagebox.msg", "cget", "-text"});
                     in.call({".__tk__messagebox.yes", "invoke"});
                 })});
    };
    tk::detail::set_hooks(hooks);
    const std::string question = "Удалить {все} [файлы] $x?\nЖою керек пе?";
    const bool yes = tk::ask_yes_no("Tarvo PDF Mergalo", question);
    tk::detail::set_hooks({});
    EXPECT_TRUE(yes);
    EXPECT_EQ(shown, question);
    EXPECT_EQ(tk::Interp::current(), nullptr) << "the box's own main window is gone";
}

TEST(Tk, MessageBoxButtonsSpeakTheProgramsLanguage) {
    for (const auto& [lang, yes, no] : {std::tuple{"kk", "Иә", "Жоқ"}, std::tuple{"ru", "Да", "Нет"}}) {
        tk::detail::Hooks hooks;
        std::string labels;
        hooks.on_wait = [&labels](tk::Interp& in) {
            in.call({"after", 50, in.command([&in, &labels] {
                         labels = in.call({".__tk__messagebox.yes", "cget", "-text"}) + "/" +
                                  in.call({".__tk__messagebox.no", "cget", "-text"});
                         in.call({".__tk__messagebox.no", "invoke"});
                     })});
        };
        tk::detail::set_hooks(hooks);
        const bool answer = tk::ask_yes_no("Tarvo PDF Mergalo", "?", lang);
        tk::detail::set_hooks({});
        EXPECT_FALSE(answer);
        EXPECT_EQ(labels, std::string(yes) + "/" + no) << lang;
    }
}

TEST(Tk, MessageBoxAppearsWhenTclHasNoMsgcat) {
    // A shipped folder without Tcl's module folder: Tk falls back to its own English
    // texts, and a box in either language must still appear and answer.
    uitest::TclWithoutMsgcat no_msgcat;
    for (const std::string lang : {"kk", "ru"}) {
        tk::detail::Hooks hooks;
        std::string missing;
        hooks.on_wait = [&missing](tk::Interp& in) {
            missing = in.call({"catch", "package require msgcat"});
            in.call({"after", 50, ".__tk__messagebox.yes invoke"});
        };
        tk::detail::set_hooks(hooks);
        bool yes = false;
        EXPECT_NO_THROW(yes = tk::ask_yes_no("Tarvo PDF Mergalo", "?", lang)) << lang;
        tk::detail::set_hooks({});
        EXPECT_EQ(missing, "1") << "msgcat must really be missing for this test";
        EXPECT_TRUE(yes) << lang;
    }
}

TEST(Tk, AClosedYesNoBoxAnswersNo) {
    tk::Interp in;
    tk::detail::Hooks hooks;
    hooks.on_wait = [](tk::Interp& i) { i.call({"after", 50, "destroy .__tk__messagebox"}); };
    tk::detail::set_hooks(hooks);
    EXPECT_FALSE(tk::ask_yes_no("T", "?"));
    tk::detail::set_hooks({});
    EXPECT_TRUE(in.exists(".")) << "the box used the live main window and left it";
}

TEST(Tk, CancelledOpenFileDialogGivesNothing) {
    tk::Interp in;
    tk::detail::Hooks hooks;
    std::string title;
    hooks.on_wait = [&title](tk::Interp& i) {
        i.call({"after", 100, i.command([&i, &title] {
                    title = i.call({"wm", "title", ".__tk_filedialog"});
                    i.call({".__tk_filedialog.contents.f2.cancel", "invoke"});
                })});
    };
    tk::detail::set_hooks(hooks);
    const auto chosen = tk::get_open_file(in, "Выберите ZIP-архив с накладными", {{"ZIP archives", "*.zip"}});
    tk::detail::set_hooks({});
    EXPECT_EQ(chosen, std::nullopt);
    EXPECT_EQ(title, "Выберите ZIP-архив с накладными");
}

TEST(Tk, WithoutADisplayInitFailsCleanly) {
    fixtures::EnvVar no_display("DISPLAY", nullptr);
    EXPECT_THROW(tk::Interp in, tk::NoDisplay);
    EXPECT_EQ(tk::Interp::current(), nullptr);
    EXPECT_THROW(tk::show_info("T", "m"), tk::NoDisplay);
    fixtures::EnvVar dead_display("DISPLAY", ":9999");
    EXPECT_THROW(tk::Interp in, tk::NoDisplay);
}

}  // namespace
