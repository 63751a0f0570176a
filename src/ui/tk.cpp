#include "ui/tk.hpp"

#include <tcl.h>
#include <tk.h>

#include <atomic>
#include <charconv>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/platform.hpp"

namespace ui::tk {

namespace {

// The result an action leaves in Tcl when it failed with a C++ exception; the
// background-error handler ignores it, since the exception itself is kept.
constexpr std::string_view ACTION_FAILED = "mergalo: action failed";

Interp*& current_interp() {
    thread_local Interp* current = nullptr;
    return current;
}

detail::Hooks& hook_store() {
    static detail::Hooks hooks;
    return hooks;
}

Tcl_Obj* new_string(std::string_view s) { return Tcl_NewStringObj(s.data(), static_cast<int>(s.size())); }

std::string result_of(Tcl_Interp* interp) { return Tcl_GetStringResult(interp); }

// Tcl needs the executable's name once per process before the first interpreter.
void find_executable() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::string exe;
        try {
            exe = platform::utf8(platform::executable_path());
        } catch (const std::exception&) {}
        Tcl_FindExecutable(exe.empty() ? nullptr : exe.c_str());
    });
}

// Holds references to a command's word objects for the length of one call.
class ObjVector {
public:
    explicit ObjVector(const std::vector<Tcl_Obj*>& objs) : objs_(objs) {
        for (Tcl_Obj* o : objs_) Tcl_IncrRefCount(o);
    }
    ~ObjVector() {
        for (Tcl_Obj* o : objs_) Tcl_DecrRefCount(o);
    }
    ObjVector(const ObjVector&) = delete;
    ObjVector& operator=(const ObjVector&) = delete;
    int size() const { return static_cast<int>(objs_.size()); }
    Tcl_Obj* const* data() const { return objs_.data(); }

private:
    std::vector<Tcl_Obj*> objs_;
};

}  // namespace

// --- Word ---------------------------------------------------------------------------

Word::Word(const std::filesystem::path& path) : value_(platform::utf8(path)) {}

Word::Word(const Font& font) {
    std::vector<Word> items{Word(font.family), Word(font.size)};
    if (!font.style.empty()) items.emplace_back(font.style);
    value_ = std::move(items);
}

Word Word::list(std::vector<Word> items) {
    Word w;
    w.value_ = std::move(items);
    return w;
}

Tcl_Obj* Word::to_obj() const {
    if (const auto* s = std::get_if<std::string>(&value_)) return new_string(*s);
    if (const auto* n = std::get_if<long>(&value_)) return Tcl_NewLongObj(*n);
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (const Word& item : std::get<std::vector<Word>>(value_)) Tcl_ListObjAppendElement(nullptr, list, item.to_obj());
    return list;
}

// --- Interp -------------------------------------------------------------------------

namespace detail {

// A C++ action behind a Tcl command, owned by its Interp.
struct Action {
    Interp* owner;
    std::function<void()> run;
};

}  // namespace detail

namespace {

int run_action(ClientData data, Tcl_Interp* interp, int, Tcl_Obj* const[]) {
    auto* action = static_cast<detail::Action*>(data);
    try {
        action->run();
        return TCL_OK;
    } catch (...) {
        action->owner->fail(std::current_exception());
        Tcl_SetObjResult(interp, new_string(ACTION_FAILED));
        return TCL_ERROR;
    }
}

// Tk reports a failed command of an event (a click, an `after`) here instead of showing
// its own error window. An action's exception is already kept; any other Tcl failure
// becomes a TclError for the waiting loop.
int background_error(ClientData data, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) {
    auto* owner = static_cast<Interp*>(data);
    std::string message = objc > 1 ? Tcl_GetString(objv[1]) : "background error";
    if (message != ACTION_FAILED) owner->fail(std::make_exception_ptr(TclError(message)));
    return TCL_OK;
}

}  // namespace

Interp::Interp() {
    find_executable();
    interp_ = Tcl_CreateInterp();
    if (Tcl_Init(interp_) != TCL_OK) {
        std::string message = result_of(interp_);
        Tcl_DeleteInterp(interp_);
        throw TclError("Tcl: " + message);
    }
    // Tk names the application (and its X class) after argv0.
    Tcl_SetVar(interp_, "argv0", "Mergalo", TCL_GLOBAL_ONLY);
    if (Tk_Init(interp_) != TCL_OK) {
        std::string message = result_of(interp_);
        Tcl_DeleteInterp(interp_);
        throw NoDisplay("Tk: " + message);
    }
    previous_ = current_interp();
    current_interp() = this;
    try {
        std::string handler = "::mergalo_bgerror";
        Tcl_CreateObjCommand(interp_, handler.c_str(), &background_error, this, nullptr);
        call({"interp", "bgerror", "", handler});
        call({"wm", "withdraw", "."});
    } catch (...) {
        current_interp() = previous_;
        Tcl_DeleteInterp(interp_);
        throw;
    }
}

Interp::~Interp() {
    if (Tk_MainWindow(interp_) != nullptr) (void)Tcl_EvalEx(interp_, "destroy .", -1, TCL_EVAL_GLOBAL);
    Tcl_DeleteInterp(interp_);
    // Interps end in reverse order of creation on one thread; be tolerant anyway.
    if (current_interp() == this) current_interp() = previous_;
}

Interp* Interp::current() noexcept { return current_interp(); }

void Interp::fail(std::exception_ptr error) noexcept {
    if (!pending_) pending_ = std::move(error);
}

void Interp::rethrow_pending() {
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

void Interp::notify_wait() {
    if (const auto& hook = hook_store().on_wait) hook(*this);
}

std::string Interp::call(std::initializer_list<Word> words) { return call(std::vector<Word>(words)); }

std::string Interp::call(const std::vector<Word>& words) {
    std::vector<Tcl_Obj*> objs;
    objs.reserve(words.size());
    for (const Word& w : words) objs.push_back(w.to_obj());
    ObjVector objv(objs);
    const int status = Tcl_EvalObjv(interp_, objv.size(), objv.data(), TCL_EVAL_GLOBAL);
    rethrow_pending();
    if (status != TCL_OK) throw TclError(result_of(interp_));
    return result_of(interp_);
}

int Interp::call_int(std::initializer_list<Word> words) {
    const std::string text = call(words);
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        throw TclError("not a whole number: " + text);
    return value;
}

std::string Interp::command(std::function<void()> action) {
    auto owned = std::make_unique<detail::Action>(detail::Action{this, std::move(action)});
    std::string name = "::mergalo_cmd" + std::to_string(++next_command_);
    Tcl_CreateObjCommand(interp_, name.c_str(), &run_action, owned.get(), nullptr);
    actions_.push_back(std::move(owned));
    return name;
}

void Interp::mainloop() {
    quit_ = false;
    notify_wait();
    while (!quit_ && !pending_ && Tk_MainWindow(interp_) != nullptr) Tcl_DoOneEvent(0);
    quit_ = false;
    rethrow_pending();
}

void Interp::quit() { quit_ = true; }

void Interp::wait_window(const std::string& window) {
    notify_wait();
    while (!pending_ && exists(window)) Tcl_DoOneEvent(0);
    rethrow_pending();
}

namespace {

// An event that only wakes the thread whose event loop waits: the loop then looks at
// its condition again.
int wake_up(Tcl_Event*, int) { return 1; }

}  // namespace

void Interp::run_in_background(const std::function<void()>& work) {
    const Tcl_ThreadId loop_thread = Tcl_GetCurrentThread();
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done.store(true);
        // Tcl frees the event once it is handled.
        auto* event = static_cast<Tcl_Event*>(static_cast<void*>(Tcl_Alloc(sizeof(Tcl_Event))));
        event->proc = &wake_up;
        event->nextPtr = nullptr;
        Tcl_ThreadQueueEvent(loop_thread, event, TCL_QUEUE_TAIL);
        Tcl_ThreadAlert(loop_thread);
    });
    while (!done.load()) Tcl_DoOneEvent(TCL_ALL_EVENTS);
    worker.join();
    if (failure) {
        pending_ = nullptr;
        std::rethrow_exception(failure);
    }
    rethrow_pending();
}

void Interp::update_idletasks() { call({"update", "idletasks"}); }

void Interp::update() {
    call({"update"});
    if (const auto& hook = hook_store().on_update) hook(*this);
}

bool Interp::exists(const std::string& window) {
    if (Tk_MainWindow(interp_) == nullptr) return false;
    Tcl_ResetResult(interp_);
    return Tk_NameToWindow(interp_, window.c_str(), Tk_MainWindow(interp_)) != nullptr;
}

std::string Interp::child(const std::string& parent, std::string_view name) {
    const std::string base = (parent == "." ? "." : parent + ".") + std::string(name);
    std::string path = base;
    for (int i = 2; exists(path); ++i) path = base + std::to_string(i);
    return path;
}

// --- Widget -------------------------------------------------------------------------

Widget Widget::create(Interp& interp, std::string_view type, const std::string& parent, std::string_view name,
                      std::initializer_list<Word> options) {
    std::vector<Word> words{Word(type), Word(interp.child(parent, name))};
    words.insert(words.end(), options);
    return Widget(interp, interp.call(words));
}

void Widget::configure(std::initializer_list<Word> options) const {
    std::vector<Word> words{Word(path_), Word("configure")};
    words.insert(words.end(), options);
    interp_->call(words);
}

std::string Widget::cget(std::string_view option) const { return interp_->call({path_, "cget", option}); }

void Widget::pack(std::initializer_list<Word> options) const {
    std::vector<Word> words{Word("pack"), Word(path_)};
    words.insert(words.end(), options);
    interp_->call(words);
}

void Widget::grid(std::initializer_list<Word> options) const {
    std::vector<Word> words{Word("grid"), Word(path_)};
    words.insert(words.end(), options);
    interp_->call(words);
}

std::string Widget::invoke() const { return interp_->call({path_, "invoke"}); }

void Widget::destroy() const { interp_->call({"destroy", path_}); }

void Widget::title(std::string_view text) const { interp_->call({"wm", "title", path_, text}); }

void Widget::not_resizable() const { interp_->call({"wm", "resizable", path_, 0, 0}); }

void Widget::on_close(std::function<void()> action) const {
    interp_->call({"wm", "protocol", path_, "WM_DELETE_WINDOW", interp_->command(std::move(action))});
}

// --- Keyboard -----------------------------------------------------------------------

namespace {

// The focus ring of classic buttons: Tk's default is one pixel of black.
constexpr int FOCUS_RING_PIXELS = 2;
constexpr std::string_view FOCUS_RING_COLOUR = "#1d4ed8";

void mark_focus_of_buttons(Interp& in, const std::string& widget) {
    const std::string type = in.call({"winfo", "class", widget});
    if (type == "Button")
        in.call({widget, "configure", "-highlightthickness", FOCUS_RING_PIXELS, "-highlightcolor", FOCUS_RING_COLOUR});
    const std::string children = in.call({"winfo", "children", widget});
    Tcl_Obj* list = new_string(children);
    Tcl_IncrRefCount(list);
    int count = 0;
    Tcl_Obj** items = nullptr;
    std::vector<std::string> paths;
    if (Tcl_ListObjGetElements(nullptr, list, &count, &items) == TCL_OK)
        for (int i = 0; i < count; ++i) paths.emplace_back(Tcl_GetString(items[i]));
    Tcl_DecrRefCount(list);
    for (const auto& child : paths)
        if (in.call({"winfo", "toplevel", child}) == in.call({"winfo", "toplevel", widget}))
            mark_focus_of_buttons(in, child);
}

}  // namespace

void use_keyboard(const Widget& top, std::function<void()> on_escape, const std::string& first) {
    Interp& in = top.interp();
    // %W is the widget the key went to: the one with the focus.
    const std::string invoke_focused = "if {[winfo class %W] in {Button TButton}} {%W invoke}";
    in.call({"bind", top.path(), "<Return>", invoke_focused});
    in.call({"bind", top.path(), "<KP_Enter>", invoke_focused});
    if (on_escape) in.call({"bind", top.path(), "<Escape>", in.command(std::move(on_escape))});
    mark_focus_of_buttons(in, top.path());
    if (!first.empty()) in.call({"focus", first});
}

void keep_above_others(const Widget& top) {
    top.interp().call({"wm", "attributes", top.path(), "-topmost", 1});
    top.interp().call({"raise", top.path()});
}

// --- Dialogs ------------------------------------------------------------------------

namespace {

// What Tk's message boxes and open-file dialog show, keyed by Tk's own English texts:
// all of it in Kazakh (Tk has no Kazakh catalogue), and in Russian what Tk's catalogue
// leaves in English or misses (this Tk asks for "does not exist" with two blanks).
struct DialogText {
    std::string_view english;
    std::string_view ru;
    std::string_view kk;
};
constexpr DialogText DIALOG_TEXTS[] = {
    {"&Yes", "&Да", "&Иә"},
    {"&No", "&Нет", "&Жоқ"},
    {"&OK", "&ОК", "&OK"},
    {"OK", "ОК", "OK"},
    {"&Cancel", "От&мена", "&Бас тарту"},
    {"Cancel", "Отмена", "Бас тарту"},
    {"&Abort", "&Отменить", "&Тоқтату"},
    {"&Retry", "&Повторить", "&Қайталау"},
    {"&Ignore", "&Игнорировать", "&Елемеу"},
    {"Open", "Открыть", "Ашу"},
    {"&Open", "&Открыть", "&Ашу"},
    {"&Save", "&Сохранить", "&Сақтау"},
    {"Save As", "Сохранить как", "Басқаша сақтау"},
    {"&Directory:", "&Папка:", "&Қалта:"},
    {"File &name:", "&Имя файла:", "Файл &атауы:"},
    {"File &names:", "&Имена файлов:", "Файл а&таулары:"},
    {"Files of &type:", "&Тип файлов:", "Файл &түрі:"},
    {"Show &Hidden Files and Directories", "Показывать &скрытые файлы и папки",
     "&Жасырын файлдар мен қалталарды көрсету"},
    {"Show &Hidden Directories", "Показывать &скрытые папки", "&Жасырын қалталарды көрсету"},
    {"All Files", "Все файлы", "Барлық файлдар"},
    {"File \"%1$s\"  does not exist.", "Файл \"%1$s\" не найден.", "\"%1$s\" файлы табылмады."},
    {"File \"%1$s\" does not exist.", "Файл \"%1$s\" не найден.", "\"%1$s\" файлы табылмады."},
    {"Directory \"%1$s\" does not exist.", "Папка \"%1$s\" не найдена.", "\"%1$s\" қалтасы табылмады."},
    {"Cannot change to the directory \"%1$s\".\nPermission denied.", "Не удаётся открыть папку \"%1$s\".\nНет доступа.",
     "\"%1$s\" қалтасын ашу мүмкін емес.\nРұқсат жоқ."},
    {"Invalid file name \"%1$s\".", "Недопустимое имя файла \"%1$s\".", "\"%1$s\" файл атауы жарамсыз."},
    {"Error: %1$s", "Ошибка: %1$s", "Қате: %1$s"},
};

}  // namespace

void use_dialog_language(Interp& in, std::string_view lang) noexcept {
    try {
        in.call({"::msgcat::mclocale", lang});
        // Tk read its catalogue for the system's language at start-up; read the one of
        // the program's language now (a language Tk has none for loads nothing).
        in.call(
            {"namespace", "eval", "::tk",
             Word::list({"::msgcat::mcload", in.call({"file", "join", in.call({"set", "::tk_library"}), "msgs"})})});
        for (const DialogText& text : DIALOG_TEXTS) {
            const std::string_view translated = lang == "kk" ? text.kk : lang == "ru" ? text.ru : std::string_view{};
            if (!translated.empty())
                in.call({"namespace", "eval", "::tk", Word::list({"::msgcat::mcset", lang, text.english, translated})});
        }
    } catch (const std::exception&) {
        // No message catalogue (msgcat missing): Tk's dialogs keep their English texts.
    }
}

std::string message_box(const MessageBox& box) {
    if (const auto& answer = hook_store().answer_message_box) return answer(box);
    std::optional<Interp> own;
    Interp* interp = Interp::current();
    if (interp == nullptr) interp = &own.emplace();
    // Tk's own box on X11 (Windows shows the system's) wraps at three inches in a bold
    // caption font, which breaks every file name of a list in two; give it room and the
    // windows' font. Priority startupFile wins over the box's widgetDefault options.
    interp->call({"option", "add", "*Dialog.msg.wrapLength", "6i", "startupFile"});
    interp->call({"option", "add", "*Dialog.msg.font", font(10), "startupFile"});
    // The box's buttons speak the program's language, not the system's.
    if (!box.language.empty()) use_dialog_language(*interp, box.language);
    if (const auto& hook = hook_store().on_wait) hook(*interp);
    std::vector<Word> words{"tk_messageBox", "-type",   box.type,   "-icon",    box.icon,
                            "-title",        box.title, "-message", box.message};
    if (!box.default_answer.empty()) words.insert(words.end(), {"-default", box.default_answer});
    return interp->call(words);
}

void show_info(std::string_view title, std::string_view message, std::string_view language) {
    message_box({"ok", "info", std::string(title), std::string(message), std::string(language)});
}

bool ask_yes_no(std::string_view title, std::string_view message, std::string_view language) {
    return message_box({"yesno", "question", std::string(title), std::string(message), std::string(language)}) == "yes";
}

std::string any_case_pattern(Interp& interp, std::string_view extension) {
    std::string pattern = "*";
    if (interp.call({"tk", "windowingsystem"}) != "x11") return pattern.append(extension);
    for (const char c : extension) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) {
            const char lower = static_cast<char>(u | 0x20);
            const char upper = static_cast<char>(lower - 'a' + 'A');
            pattern += {'[', upper, lower, ']'};
        } else {
            pattern += c;
        }
    }
    return pattern;
}

namespace {

// Tk's own file dialog shows each type as "label (patterns)"; an any-case pattern
// reads there as its lower-case form ("*.[Zz][Ii][Pp]" as "*.zip"). Tk's internal
// helper is wrapped once per interpreter; where it is missing, nothing changes.
constexpr std::string_view READABLE_FILE_TYPES = R"tcl(
if {[info commands ::tk::FDGetFileTypes] eq ""} { catch {auto_load ::tk::FDGetFileTypes} }
if {[info commands ::tk::FDGetFileTypes] ne "" && [info commands ::tk::mergalo_FDGetFileTypes] eq ""} {
    rename ::tk::FDGetFileTypes ::tk::mergalo_FDGetFileTypes
    proc ::tk::FDGetFileTypes {string} {
        set types {}
        foreach type [::tk::mergalo_FDGetFileTypes $string] {
            set label [regsub -all {\[([A-Z])([a-z])\]} [lindex $type 0] {\2}]
            lappend types [lreplace $type 0 0 $label]
        }
        return $types
    }
}
)tcl";

// Tk's own open-file dialog (X11) lists hidden folders (".cache", ".config", ...) first
// and shows six rows. The dialog's script is loaded first, since loading sets its
// switches back; hidden entries are then left out, with the dialog's own check box to
// show them. The list is made larger once the dialog's widgets exist, when the dialog
// first lets the events run (before it places itself, so the larger size is centred).
constexpr std::string_view QUIET_FILE_DIALOG = R"tcl(
if {[tk windowingsystem] eq "x11"} {
    catch {auto_load ::tk::dialog::file::}
    if {[namespace exists ::tk::dialog::file]} {
        set ::tk::dialog::file::showHiddenBtn 1
        set ::tk::dialog::file::showHiddenVar 0
    }
}
proc ::mergalo_file_list_size {width height tries} {
    set list .__tk_filedialog.contents.icons
    set canvas {}
    if {[winfo exists $list]} {
        set todo [list $list]
        while {[llength $todo] && $canvas eq {}} {
            set todo [lassign $todo w]
            if {[winfo class $w] eq "Canvas"} { set canvas $w } else { lappend todo {*}[winfo children $w] }
        }
    }
    if {$canvas ne {}} {
        $canvas configure -width $width -height $height
    } elseif {$tries > 0} {
        after 20 [list ::mergalo_file_list_size $width $height [expr {$tries - 1}]]
    }
}
)tcl";

}  // namespace

std::optional<std::string> get_open_file(Interp& interp, std::string_view title, const std::vector<FileType>& types,
                                         const OpenFilePlace& place) {
    if (const auto& answer = hook_store().answer_open_file) return answer(title);
    try {
        interp.call({"eval", READABLE_FILE_TYPES});
    } catch (const TclError&) {
        // The labels then show the patterns as they are.
    }
    bool quiet = true;
    try {
        interp.call({"eval", QUIET_FILE_DIALOG});
    } catch (const TclError&) {
        quiet = false;  // Tk's dialog as it is
    }
    if (quiet && place.list_width > 0 && place.list_height > 0 && interp.call({"tk", "windowingsystem"}) == "x11")
        interp.call(
            {"after", "idle", Word::list({"::mergalo_file_list_size", place.list_width, place.list_height, 50})});
    std::vector<Word> list;
    for (const auto& t : types) list.push_back(Word::list({Word(t.label), Word(t.pattern)}));
    std::vector<Word> call{"tk_getOpenFile", "-title", title, "-filetypes", Word::list(std::move(list))};
    if (place.folder) {
        call.emplace_back("-initialdir");
        call.emplace_back(*place.folder);
    }
    if (const auto& hook = hook_store().on_wait) hook(interp);
    std::string name = interp.call(std::move(call));
    if (name.empty()) return std::nullopt;
    // Tk answers with "/" on every system; the program shows and uses the platform's own
    // separators ("C:\\Users\\...\\orders.zip" on Windows).
    return interp.call({"file", "nativename", name});
}

namespace detail {

void set_hooks(Hooks hooks) { hook_store() = std::move(hooks); }
const Hooks& hooks() { return hook_store(); }

}  // namespace detail

}  // namespace ui::tk
