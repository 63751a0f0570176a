#include "ui/tk.hpp"

#include <tcl.h>
#include <tk.h>

#include <charconv>
#include <mutex>
#include <system_error>

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
        } catch (const std::exception&) {
        }
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

// --- Dialogs ------------------------------------------------------------------------

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
    if (!box.language.empty()) {
        // The box's buttons speak the program's language, not the system's: Tk picks
        // them by its message catalogue's locale, and ships no Kazakh texts. Without the
        // msgcat package (a folder shipped incomplete) Tk falls back to its English
        // texts; the box itself must still appear, so nothing here may fail it.
        try {
            if (!interp->call({"info", "commands", "::msgcat::mcset"}).empty()) {
                interp->call({"namespace", "eval", "::tk", "::msgcat::mcset", "kk", "&Yes", "&Иә"});
                interp->call({"namespace", "eval", "::tk", "::msgcat::mcset", "kk", "&No", "&Жоқ"});
                interp->call({"namespace", "eval", "::tk", "::msgcat::mcset", "ru", "&Yes", "&Да"});
                interp->call({"namespace", "eval", "::tk", "::msgcat::mcset", "ru", "&No", "&Нет"});
                interp->call({"::msgcat::mclocale", box.language});
            }
        } catch (const TclError&) {
        }
    }
    if (const auto& hook = hook_store().on_wait) hook(*interp);
    return interp->call({"tk_messageBox", "-type", box.type, "-icon", box.icon, "-title", box.title, "-message",
                         box.message});
}

void show_info(std::string_view title, std::string_view message, std::string_view language) {
    message_box({"ok", "info", std::string(title), std::string(message), std::string(language)});
}

bool ask_yes_no(std::string_view title, std::string_view message, std::string_view language) {
    return message_box({"yesno", "question", std::string(title), std::string(message), std::string(language)}) ==
           "yes";
}

std::optional<std::string> get_open_file(Interp& interp, std::string_view title, const std::vector<FileType>& types) {
    if (const auto& answer = hook_store().answer_open_file) return answer(title);
    std::vector<Word> list;
    for (const auto& t : types) list.push_back(Word::list({Word(t.label), Word(t.pattern)}));
    if (const auto& hook = hook_store().on_wait) hook(interp);
    std::string name = interp.call({"tk_getOpenFile", "-title", title, "-filetypes", Word::list(std::move(list))});
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
