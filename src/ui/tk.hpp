// The one layer over the Tcl/Tk C API. Everything else in ui/ speaks through it.
//
// An Interp is one Tcl interpreter with Tk initialised: a "Tk main window". Its main
// window "." starts hidden (withdrawn). Commands are run as argument vectors: every word
// goes to Tcl as an object of its own and is never parsed as script, so a path or a name
// with braces, quotes, brackets, dollar signs, backslashes or Cyrillic letters arrives
// exactly as it is. Texts are UTF-8 both ways.
//
// C++ actions become Tcl commands (Interp::command). An exception thrown by an action
// never unwinds through Tcl's C frames: the action catches it, the Tcl command fails,
// and the exception is thrown again, unchanged, from the C++ call that was waiting on
// Tcl (Interp::call, mainloop, wait_window, update).
//
// Single-threaded: an Interp is used only on the thread that created it (work that
// must not hold up the windows runs beside it through run_in_background).
#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "diag/errors.hpp"

struct Tcl_Interp;
struct Tcl_Obj;

namespace ui::tk {

// Tk cannot open a window: no display to connect to, or the display refused.
class NoDisplay : public diag::RuntimeError {
public:
    using diag::RuntimeError::RuntimeError;
};

// A Tcl command failed. It carries Tcl's own message; it means a fault in the program,
// never a fault in the user's input.
class TclError : public diag::RuntimeError {
public:
    using diag::RuntimeError::RuntimeError;
};

// A Tk font: family, size in points, optional style words ("bold").
struct Font {
    std::string family;
    int size = 0;
    std::string style{};
};

// The family every window asks for; Tk falls back to the closest installed font.
inline constexpr std::string_view FONT_FAMILY = "Segoe UI";

// FONT_FAMILY at `size` points with an optional style.
inline Font font(int size, std::string_view style = {}) {
    return Font{std::string(FONT_FAMILY), size, std::string(style)};
}

// One word of a Tcl command: text, an integer, a path (as UTF-8) or a list of words.
class Word {
public:
    Word(std::string_view text) : value_(std::string(text)) {}
    Word(const char* text) : value_(std::string(text)) {}
    Word(std::string text) : value_(std::move(text)) {}
    Word(int number) : value_(static_cast<long>(number)) {}
    Word(const std::filesystem::path& path);
    Word(const Font& font);
    static Word list(std::vector<Word> items);

    // A new Tcl object with reference count 0.
    Tcl_Obj* to_obj() const;

private:
    Word() = default;
    std::variant<std::string, long, std::vector<Word>> value_;
};

namespace detail {
struct Action;
}

class Interp {
public:
    // Creates the interpreter, loads Tk and withdraws ".". Throws NoDisplay when Tk
    // cannot connect to a display, TclError when Tcl or Tk cannot start otherwise.
    Interp();
    // Destroys every window of this interpreter and the interpreter. Never throws.
    ~Interp();
    Interp(const Interp&) = delete;
    Interp& operator=(const Interp&) = delete;

    // Runs one command and returns its result. Throws TclError with Tcl's message, or
    // the exception an action raised while the command ran.
    std::string call(std::initializer_list<Word> words);
    std::string call(const std::vector<Word>& words);
    // call() for a command whose result is a whole number ("winfo width .w"). Throws
    // TclError when the result is not one.
    int call_int(std::initializer_list<Word> words);

    // Registers `action` as a new Tcl command, kept until the interpreter goes, and
    // returns the command's name (for -command options, wm protocol, after).
    std::string command(std::function<void()> action);

    // Processes events until quit() or until "." is destroyed. Rethrows an exception
    // raised by an action (the loop stops at once then).
    void mainloop();
    // Ends the innermost running mainloop() once the current action returns.
    void quit();
    // Processes events until `window` no longer exists (Tk's tkwait window; quit() does
    // not end it). Rethrows an action's exception.
    void wait_window(const std::string& window);
    void update_idletasks();
    void update();

    // Runs `work` on a thread of its own while this thread keeps processing the
    // interpreter's events (timers, redraws, clicks), and returns once `work` has
    // returned. `work` must not touch Tcl or Tk. Rethrows what `work` threw; else an
    // action's exception raised meanwhile. Waits for `work` in every case.
    void run_in_background(const std::function<void()>& work);

    // True when the window exists (and so does ".").
    bool exists(const std::string& window);

    // The path of a child called `name` under `parent` (".name" under "."), with a
    // number appended when that path is taken.
    std::string child(const std::string& parent, std::string_view name);

    Tcl_Interp* raw() const noexcept { return interp_; }

    // The most recently created Interp still alive on this thread, or none.
    static Interp* current() noexcept;

    // Internal: an action failed with `error` (keeps only the first).
    void fail(std::exception_ptr error) noexcept;

private:
    void rethrow_pending();
    void notify_wait();

    Tcl_Interp* interp_ = nullptr;
    Interp* previous_ = nullptr;
    bool quit_ = false;
    std::exception_ptr pending_;
    std::vector<std::unique_ptr<detail::Action>> actions_;
    int next_command_ = 0;
};

// Thin handle on one widget path of an Interp.
class Widget {
public:
    Widget(Interp& interp, std::string path) : interp_(&interp), path_(std::move(path)) {}

    // Creates a widget of `type` ("label", "ttk::button", "toplevel") called `name`
    // under `parent`, with the given options.
    static Widget create(Interp& interp, std::string_view type, const std::string& parent, std::string_view name,
                         std::initializer_list<Word> options = {});

    const std::string& path() const noexcept { return path_; }
    Interp& interp() const noexcept { return *interp_; }

    // `path option value ...`, i.e. configure.
    void configure(std::initializer_list<Word> options) const;
    std::string cget(std::string_view option) const;
    // pack / grid with options.
    void pack(std::initializer_list<Word> options = {}) const;
    void grid(std::initializer_list<Word> options = {}) const;
    // Runs the widget's -command (buttons).
    std::string invoke() const;
    void destroy() const;

    // Top-level windows: wm title, wm resizable 0 0, wm protocol WM_DELETE_WINDOW.
    void title(std::string_view text) const;
    void not_resizable() const;
    void on_close(std::function<void()> action) const;

private:
    Interp* interp_;
    std::string path_;
};

// Makes a top-level window usable from the keyboard: Return and the keypad's Enter
// invoke the button that has the focus, Escape runs `on_escape` (when given), every
// button of the window shows a clear ring while it has the focus, and `first` (a
// widget path, when given) has the focus to begin with. Tab and Shift+Tab move through
// the widgets in the order they were created (Tk's own traversal, which skips disabled
// buttons), so create them in their visual order. Call it once the buttons exist.
void use_keyboard(const Widget& top, std::function<void()> on_escape = {}, const std::string& first = {});

// Keeps a top-level window above the other windows of the desktop (the window
// manager's "always on top") and raises it now.
void keep_above_others(const Widget& top);

// A standard message box (tk_messageBox).
struct MessageBox {
    std::string type = "ok";    // "ok" or "yesno"
    std::string icon = "info";  // "info", "question", "warning", "error"
    std::string title;
    std::string message;
    std::string language;          // "ru" or "kk": the language of the buttons; empty: Tk's own choice
    std::string default_answer{};  // the button Enter presses ("yes", "no", "ok"); empty: the first
};

// Puts Tk's own dialogs of `in` (message boxes, the open-file dialog) in `lang` ("ru"
// or "kk"): Tk's message catalogue for it, and the texts it lacks (all of the Kazakh
// ones) from the program. Never throws: without msgcat the dialogs speak English.
void use_dialog_language(Interp& in, std::string_view lang) noexcept;

// Shows the box on the current Interp (creating a hidden one of its own when none is
// alive) with no parent window, and returns the answer: "ok", "yes" or "no" (a closed
// yes/no box answers "no"). Throws NoDisplay when no window can be opened.
std::string message_box(const MessageBox& box);
void show_info(std::string_view title, std::string_view message, std::string_view language = {});
bool ask_yes_no(std::string_view title, std::string_view message, std::string_view language = {});

// A file type entry of the open-file dialog: label and pattern ("ZIP archives", "*.zip").
struct FileType {
    std::string label;
    std::string pattern;
};

// A file-dialog pattern that matches files ending in `extension` (".zip") in any letter
// case: Tk's own dialog (X11) compares case-sensitively, so it gets "*.[Zz][Ii][Pp]"
// (and shows it as "*.zip"); the system's dialogs elsewhere ignore case anyway.
std::string any_case_pattern(Interp& interp, std::string_view extension);

// Where the open-file dialog starts and how much of a folder it shows at once.
struct OpenFilePlace {
    std::optional<std::string> folder;  // the folder it opens in (UTF-8); none: Tk's choice
    int list_width = 0;                 // Tk's own dialog (X11): its list of files in pixels;
    int list_height = 0;                // 0 keeps Tk's size (six rows)
};

// tk_getOpenFile on `interp` with a title and file types. Tk's own dialog (X11) hides
// hidden files and folders (".cache", ".config"), with Tk's switch to show them.
// Returns the chosen name as the dialog gave it, or none when cancelled.
std::optional<std::string> get_open_file(Interp& interp, std::string_view title, const std::vector<FileType>& types,
                                         const OpenFilePlace& place = {});

namespace detail {

// Test seams. A program never sets them; tests use them to drive windows without a user.
struct Hooks {
    // Called when a wait for the user begins: mainloop, wait_window, a message box.
    // Typically schedules actions with `after`.
    std::function<void(Interp&)> on_wait;
    // Called after update() has processed the pending events.
    std::function<void(Interp&)> on_update;
    // When set, message boxes are not shown: this answers them ("ok", "yes", "no").
    std::function<std::string(const MessageBox&)> answer_message_box;
    // When set, the open-file dialog is not shown: this answers it.
    std::function<std::optional<std::string>(std::string_view title)> answer_open_file;
};

// Replaces the hooks (an empty Hooks{} clears them).
void set_hooks(Hooks hooks);
const Hooks& hooks();

}  // namespace detail

}  // namespace ui::tk
