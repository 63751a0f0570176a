// Driving real Tk windows from a test: steps that run when the code under test starts
// waiting for the user, answers for its message boxes, and a stand-in for xdg-open that
// records what the program asked to open.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/env.hpp"
#include "support/temp_dir.hpp"
#include "ui/tk.hpp"

namespace uitest {

namespace tk = ui::tk;
using Step = std::function<void(tk::Interp&)>;

// Installs the toolkit's test hooks for its lifetime. Each time the code under test
// begins to wait for the user (an event loop, a wait for a window, a real message box),
// the next step runs shortly afterwards inside that wait, after an update. Message boxes are answered
// from `answers` (each is recorded in `boxes`). A wait without a step or a box without
// an answer is a test failure, and the windows are destroyed so that nothing hangs.
class Driver {
public:
    Driver();
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    Driver& then(Step step);
    Driver& answer(std::string reply);

    std::vector<tk::MessageBox> boxes;
    std::function<void(tk::Interp&)> on_update;  // optional: after each update()
    int waits = 0;

private:
    std::deque<Step> steps_;
    std::deque<std::string> answers_;
};

// Runs what the window manager runs when the user closes `window` from its title bar:
// its WM_DELETE_WINDOW handler, or Tk's default (destroy) when it has none.
void close_from_title_bar(tk::Interp& in, const std::string& window);

// The widgets of `window` (labels, buttons, texts, progress bars, at any depth, and the
// window itself) that are shown smaller than they ask to be: their text is cut.
std::vector<std::string> cut_widgets(tk::Interp& in, const std::string& window);

// True once `window` is on the screen and has put its own focus on one of its widgets.
bool shown_with_focus(tk::Interp& in, const std::string& window);

// Runs `action` once `window` is shown with its focus (or after ten seconds, when it
// never is), asking again every 20 ms from the event loop: a window still being built by
// a script further up the stack (a message box) finishes only when the handler that
// asks has returned, so it must not wait in a loop of its own.
void when_shown(tk::Interp& in, const std::string& window, std::function<void()> action, int tries = 500);

std::string text_of(tk::Interp& in, const std::string& widget);
std::string option_of(tk::Interp& in, const std::string& widget, const std::string& option);
// Children of a widget, in creation order.
std::vector<std::string> children_of(tk::Interp& in, const std::string& widget);

// An "xdg-open" first on PATH that appends each argument it gets to a file.
class FakeOpener {
public:
    explicit FakeOpener(const std::filesystem::path& dir);
    // The targets opened so far, once at least `count` have arrived (the opener is
    // started without waiting, so this polls, for at most 30 seconds).
    std::vector<std::string> opened(std::size_t count);

private:
    std::filesystem::path record_;
    fixtures::EnvVar path_{"PATH"};
};

// Points TCL_LIBRARY, for its lifetime, at a copy of the running Tcl's script folder
// in which no module can be found, the msgcat package among them: a shipped folder
// that lacks its module folder. Interpreters created meanwhile start without msgcat.
class TclWithoutMsgcat {
public:
    TclWithoutMsgcat();
    TclWithoutMsgcat(const TclWithoutMsgcat&) = delete;
    TclWithoutMsgcat& operator=(const TclWithoutMsgcat&) = delete;

private:
    fixtures::TempDir dir_;
    fixtures::EnvVar library_{"TCL_LIBRARY"};
};

}  // namespace uitest
