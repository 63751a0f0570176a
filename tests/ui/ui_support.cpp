#include "ui/ui_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/platform.hpp"
#include "support/temp_dir.hpp"

namespace uitest {

namespace fs = std::filesystem;

namespace {

// Ends every wait of the interpreter: its windows are gone.
void bail_out(tk::Interp& in) {
    try {
        in.call({"destroy", "."});
    } catch (...) {}
}

// True when every toplevel window that is not withdrawn is on the screen.
bool windows_shown(tk::Interp& in) {
    std::istringstream words(in.call({"winfo", "children", "."}));
    for (std::string w; words >> w;) {
        if (in.call({"winfo", "toplevel", w}) != w || in.call({"wm", "state", w}) == "withdrawn") continue;
        if (in.call({"winfo", "viewable", w}) != "1") return false;
    }
    return true;
}

// Runs `step` from the event loop once windows_shown holds (asking every 20 ms, at most
// `tries` times): never in a loop of its own, since a window built by a script further
// up the stack is finished only when this handler returns.
void run_when_shown(tk::Interp& in, Step step, int tries) {
    in.call({"after", 20, in.command([&in, step = std::move(step), tries]() mutable {
                 in.update();
                 if (!windows_shown(in) && tries > 0) {
                     run_when_shown(in, std::move(step), tries - 1);
                     return;
                 }
                 step(in);
                 if (::testing::Test::HasFatalFailure()) bail_out(in);
             })});
}

}  // namespace

Driver::Driver() {
    tk::detail::Hooks hooks;
    hooks.on_wait = [this](tk::Interp& in) {
        ++waits;
        if (steps_.empty()) {
            ADD_FAILURE() << "the program waits for the user but the test has no step for wait " << waits;
            in.call({"after", "idle", in.command([&in] { bail_out(in); })});
            return;
        }
        Step step = std::move(steps_.front());
        steps_.pop_front();
        // Once every window meant to be seen is on the screen and every pending event
        // (mapping, resizing) is through, so the step sees the windows as the user would.
        run_when_shown(in, std::move(step), 500);
    };
    hooks.on_update = [this](tk::Interp& in) {
        if (on_update) on_update(in);
    };
    hooks.answer_message_box = [this](const tk::MessageBox& box) {
        boxes.push_back(box);
        if (answers_.empty()) {
            ADD_FAILURE() << "unexpected message box: " << box.message;
            return std::string(box.type == "yesno" ? "no" : "ok");
        }
        std::string reply = answers_.front();
        answers_.pop_front();
        return reply;
    };
    tk::detail::set_hooks(std::move(hooks));
}

Driver::~Driver() {
    tk::detail::set_hooks({});
    EXPECT_TRUE(steps_.empty()) << steps_.size() << " step(s) never ran";
    EXPECT_TRUE(answers_.empty()) << answers_.size() << " message box answer(s) never used";
}

Driver& Driver::then(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

Driver& Driver::answer(std::string reply) {
    answers_.push_back(std::move(reply));
    return *this;
}

void close_from_title_bar(tk::Interp& in, const std::string& window) {
    const std::string handler = in.call({"wm", "protocol", window, "WM_DELETE_WINDOW"});
    if (handler.empty())
        in.call({"destroy", window});
    else
        in.call({handler});
}

std::vector<std::string> cut_widgets(tk::Interp& in, const std::string& window) {
    std::vector<std::string> cut;
    std::vector<std::string> pending{window};
    while (!pending.empty()) {
        const std::string w = pending.back();
        pending.pop_back();
        for (const std::string& child : children_of(in, w))
            if (in.call({"winfo", "toplevel", child}) == window) pending.push_back(child);
        if (in.call({"winfo", "ismapped", w}) != "1") continue;
        const std::string kind = in.call({"winfo", "class", w});
        if (w != window && kind.find("Frame") != std::string::npos) continue;  // frames hold, their widgets show
        if (in.call_int({"winfo", "reqwidth", w}) > in.call_int({"winfo", "width", w}) ||
            in.call_int({"winfo", "reqheight", w}) > in.call_int({"winfo", "height", w}))
            cut.push_back(w);
    }
    return cut;
}

bool shown_with_focus(tk::Interp& in, const std::string& window) {
    if (!in.exists(window) || in.call({"winfo", "viewable", window}) != "1") return false;
    return in.call({"winfo", "children", window}).empty() || in.call({"focus", "-lastfor", window}) != window;
}

void when_shown(tk::Interp& in, const std::string& window, std::function<void()> action, int tries) {
    if (shown_with_focus(in, window) || tries <= 0) {
        action();
        return;
    }
    in.call({"after", 20, in.command([&in, window, action = std::move(action), tries] {
                 when_shown(in, window, action, tries - 1);
             })});
}

std::string text_of(tk::Interp& in, const std::string& widget) { return in.call({widget, "cget", "-text"}); }

std::string option_of(tk::Interp& in, const std::string& widget, const std::string& option) {
    return in.call({widget, "cget", option});
}

std::vector<std::string> children_of(tk::Interp& in, const std::string& widget) {
    std::vector<std::string> out;
    std::istringstream words(in.call({"winfo", "children", widget}));
    for (std::string w; words >> w;) out.push_back(w);
    return out;
}

FakeOpener::FakeOpener(const fs::path& dir) : record_(dir / "opened.txt") {
    const fs::path bin = dir / "bin";
    fixtures::write_bytes(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + platform::utf8(record_) + "'\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    path_.set((platform::utf8(bin) + ":" + platform::get_env("PATH").value_or("/usr/bin:/bin")).c_str());
}

std::vector<std::string> FakeOpener::opened(std::size_t count) {
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) {
        lines.clear();
        std::ifstream in(record_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        if (lines.size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
}

TclWithoutMsgcat::TclWithoutMsgcat() {
    std::string system;
    {
        tk::Interp in;
        system = in.call({"info", "library"});
    }
    const std::filesystem::path copy = dir_ / "tcl";
    std::filesystem::copy(system, copy, std::filesystem::copy_options::recursive);
    std::filesystem::remove_all(copy / "tcl8");
    // Whatever module folders tm.tcl names (Debian adds its system ones), none is kept.
    std::ofstream(copy / "tm.tcl", std::ios::app) << "\n::tcl::tm::path remove {*}[::tcl::tm::path list]\n";
    library_.set(copy.c_str());
}

}  // namespace uitest
