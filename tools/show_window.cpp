// show_window WINDOW LANG PROGRAM_DIR OUT.png [ARCHIVE]: opens one of the program's
// windows with sample data in language LANG ("ru" or "kk"), photographs the screen
// with ImageMagick's `import` once the window is drawn, and closes the window again.
// The program runs as if installed in PROGRAM_DIR (its mgl/ holds assets/ and help/;
// its logs/ receives the error log). Used by scripts/screenshots.
//
// Exit code 3: the picture was taken, but a widget was cut (shown smaller than it asks
// to be, as fixed sizes do when the display's scale grows and they do not); the cut
// widgets are named on standard error.
//
// WINDOW: chooser, open_file, wait (merges ARCHIVE, photographed once the progress shows: the
// archive must take longer than half a second), result, result_new, language, cleanup (the
// question on seven old sheets, answered yes on Windows), cleanup_none (the answer when
// there are none), result_switch (the result window switched to the other language:
// the box that says so is photographed), error, error_long, chooser_several (for three
// archives), result_several (the second of three, the history in the user's folder),
// error_readonly (an archive in a folder the user cannot write).
//
// On Windows (the cross build, run under Wine by scripts/windows-check) the photograph
// is taken from outside: the tool creates OUT.png.ready once the window is drawn and
// waits until OUT.png.taken appears; the system's own message boxes are closed by
// their "yes" or "ok" button, so that a question is driven to its end.
#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "job/job.hpp"
#include "platform/platform.hpp"
#include "product/buildmode.hpp"
#include "product/context.hpp"
#include "product/product.hpp"
#include "ui/dialogs.hpp"
#include "ui/error_dialog.hpp"
#include "ui/language_window.hpp"
#include "ui/old_sheets.hpp"
#include "ui/result_window.hpp"
#include "ui/tk.hpp"
#include "ui/wait_window.hpp"
#include "ui/window.hpp"

#ifdef _WIN32
#ifndef NOMINMAX  // libstdc++'s MinGW configuration may define it already
#define NOMINMAX
#endif
#include <windows.h>
#endif

#ifndef _WIN32
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
namespace tk = ui::tk;

std::string g_out;
bool g_taken = false;
// Set once the picture is on disk; read by the job's thread of the wait window.
std::atomic<bool> g_photographed{false};

#ifdef _WIN32
void photograph() {
    if (g_taken) return;
    g_taken = true;
    const fs::path ready = platform::path_from_utf8(g_out + ".ready");
    const fs::path taken = platform::path_from_utf8(g_out + ".taken");
    std::ofstream(ready) << "drawn\n";
    for (int i = 0; i < 600 && !fs::exists(taken); ++i) Sleep(100);
    g_photographed = true;
}

// The system's message box shown by this thread, if any.
HWND message_box_window() {
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM out) -> BOOL {
            wchar_t cls[16] = {};
            GetClassNameW(w, cls, 16);
            if (std::wstring_view(cls) != L"#32770" || !IsWindowVisible(w)) return TRUE;
            *reinterpret_cast<HWND*>(out) = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}
#else
void photograph() {
    if (g_taken) return;
    g_taken = true;
    std::vector<std::string> args{"import", "-window", "root", g_out};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "import", nullptr, nullptr, argv.data(), environ) != 0) {
        std::cerr << "cannot start import\n";
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    g_photographed = true;
}
#endif

// The widgets on screen (windows included) that are shown smaller than they ask to be,
// as a Tcl list: their text is cut. Frames are passed over; what they hold is looked at.
std::string cut_widgets(tk::Interp& in) {
    in.call({"proc", "mergalo_cut_widgets", "w", R"TCL(
        set cut {}
        foreach c [winfo children $w] { lappend cut {*}[mergalo_cut_widgets $c] }
        if {$w ne "." && [winfo ismapped $w] && ![string match *Frame [winfo class $w]] &&
            ([winfo reqwidth $w] > [winfo width $w] || [winfo reqheight $w] > [winfo height $w])} {
            lappend cut $w
        }
        return $cut
    )TCL"});
    return in.call({"mergalo_cut_widgets", "."});
}

// Set when a picture showed a cut widget: the tool then ends with exit code 3.
bool g_cut = false;

// Says on standard error which widgets are cut, once per picture.
void check_nothing_cut(tk::Interp& in) {
    try {
        const std::string cut = cut_widgets(in);
        if (cut.empty()) return;
        g_cut = true;
        std::cerr << "cut: " << cut << '\n';
    } catch (const std::exception& e) {
        std::cerr << "cannot look for cut widgets: " << e.what() << '\n';
    }
}

// Closes what is on screen the way a user would: a message box by its "no"/"ok"
// button, other windows through their title-bar close handler, else destroyed.
void close_everything(tk::Interp& in) {
#ifdef _WIN32
    if (HWND box = message_box_window()) {
        PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDYES) ? IDYES : IDOK, 0);
        return;
    }
#endif
    if (in.exists(".__tk__messagebox")) {
        in.call({"destroy", ".__tk__messagebox"});
        return;
    }
    if (in.exists(".__tk_filedialog")) {
        in.call({".__tk_filedialog.contents.f2.cancel", "invoke"});
        return;
    }
    std::vector<std::string> windows;
    for (std::string_view rest = in.call({"winfo", "children", "."}); !rest.empty();) {
        auto space = rest.find(' ');
        windows.emplace_back(rest.substr(0, space));
        rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    }
    windows.emplace_back(".");
    for (const auto& w : windows) {
        if (!in.exists(w) || in.call({"winfo", "toplevel", w}) != w) continue;
        const std::string handler = in.call({"wm", "protocol", w, "WM_DELETE_WINDOW"});
        if (!handler.empty())
            in.call({handler});
        else if (w == "." || in.call({"wm", "state", w}) != "withdrawn")
            in.call({"destroy", w});
        return;
    }
}

// Gives the keyboard focus to the newest window on screen, as a window manager gives it
// to a window that opens, so the picture shows which button Enter would press.
void show_focus(tk::Interp& in) {
    try {
        // The stacking order lists the lowest window first: the newest is the last word.
        const std::string order = in.call({"wm", "stackorder", "."});
        const std::size_t space = order.find_last_of(' ');
        const std::string newest = order.empty()                ? std::string(".")
                                   : space == std::string::npos ? order
                                                                : order.substr(space + 1);
        in.call({"focus", "-force", in.call({"focus", "-lastfor", newest})});
        in.update();
    } catch (const std::exception&) {}
}

// Long output paths, as sellers' folders are: one with blanks, one without any. The
// marketplace ("Sauyq") and the seller are invented.
job::MergeResult sample_result(bool with_new) {
#ifdef _WIN32
    const std::string home = "C:\\Users\\seller\\";
#else
    const std::string home = "/home/seller/";
#endif
    const fs::path folder =
        platform::path_from_utf8(
            with_new ? home + "Документы/Заказы Sauyq 2024/Накладные за 15 мая (склад Алматы, ТОО «Пример Трейд»)"
                     : home +
                           "Загрузки/Sauyq_заказы_2024-05-15_склад_Алматы_ТОО_Пример_Трейд_накладные_на_отгрузку_"
                           "партия_000123456789")
            .make_preferred();
    job::MergeResult r;
    r.nup = 4;
    r.out_pdf_all = r.out_pdf =
        folder / platform::path_from_utf8("sauyq_orders_15.05.2024_Tarvo PDF Mergalo_MERGED_4up.pdf");
    r.file_count = r.file_count_all = 37;
    r.total_pages = r.total_pages_all = 37;
    r.final_sheets = r.final_sheets_all = 10;
    if (with_new) {
        r.out_pdf_new =
            folder / platform::path_from_utf8("sauyq_orders_15.05.2024_Tarvo PDF Mergalo_NEW_MERGED_4up.pdf");
        r.file_count_new = 12;
        r.total_pages_new = 12;
        r.final_sheets_new = 3;
    }
    return r;
}

// Seven old output sheets in a folder of the program directory.
fs::path old_sheets_folder(const fs::path& program_dir) {
    const fs::path folder = program_dir / "old sheets";
    fs::create_directories(folder);
    const auto old = fs::file_time_type::clock::now() - std::chrono::days{5};
    for (const char* day : {"01.05", "02.05", "03.05", "04.05", "05.05", "06.05", "07.05"}) {
        const fs::path file = folder / ("sauyq_orders_" + std::string(day) + ".2024_Tarvo PDF Mergalo_MERGED_4up.pdf");
        if (!fs::exists(file)) std::ofstream(file) << "%PDF-1.7\n";
        fs::last_write_time(file, old);
    }
    return folder;
}

// What one picture needs: the program, the language, its folder and the archive (wait).
struct Shot {
    const product::Context& ctx;
    std::string lang;
    fs::path program_dir;
    std::string archive;
};

// The result window, switched to the other language by its own buttons: the box that
// confirms the change is photographed, the relabelled window is closed last.
void result_switched(const Shot& shot) {
    const std::string other = shot.lang == "kk" ? "ru" : "kk";
    tk::detail::Hooks hooks = tk::detail::hooks();
    hooks.on_wait = [other, step = 0](tk::Interp& in) mutable {
        in.call({"after", 500, in.command([&in, other, now = step++] {
                     if (now == 0)
                         in.call({".done.buttons.bottom.language", "invoke"});
                     else if (now == 1)
                         in.call({".done.language.frame." + other, "invoke"});
                     else {
                         photograph();
                         close_everything(in);  // the box
                         in.call({"after", 300, in.command([&in] { close_everything(in); })});
                     }
                 })});
    };
    hooks.on_update = nullptr;
    tk::detail::set_hooks(hooks);
    ui::show_done(shot.ctx, sample_result(false));
}

// A repaired waybill, left-out repeats and skipped history records: the heading asks for a check.
void result_to_check(const Shot& shot) {
    job::MergeResult r = sample_result(true);
    r.repaired = {"день2/Заказ_458812304.pdf"};
    r.conflicting_duplicates = {"день2/Заказ_458812377.pdf", "возвраты/Заказ_458812390.pdf"};
    r.skipped_history_records = 2;
    r.history_copy = shot.program_dir / "waybill_history.csv.bad";
    ui::show_done(shot.ctx, r);
}

// The open-file dialog on a seller's Downloads folder (here named by user-dirs.dirs, as
// a Russian desktop names it), with a day's archives and hidden entries it leaves out.
void open_file(const Shot& shot) {
    fs::path downloads = shot.program_dir / "Загрузки";
#ifndef _WIN32
    downloads = platform::user_home() / "Загрузки";
    fs::create_directories(platform::xdg_config_home());
    std::ofstream(platform::xdg_config_home() / "user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Загрузки\"\n";
#else
    if (const auto known = platform::downloads_dir()) downloads = *known;
#endif
    fs::create_directories(downloads / "Архив");
    fs::create_directories(downloads / ".cache");
    for (const char* name :
         {"ЗАКАЗЫ.ZIP", "sauyq_orders_15.05.2024.zip", "marketplace.Zip", "отчёт.xlsx", ".~lock.отчёт"})
        std::ofstream(downloads / platform::path_from_utf8(name)) << "x";
    for (int day = 1; day <= 12; ++day)
        std::ofstream(downloads / platform::path_from_utf8("накладные_" + std::to_string(day) + ".05.2024.zip")) << "x";
    fs::current_path(shot.program_dir);  // not where the dialog opens
    tk::Interp root;
    ui::ask_for_archive(shot.ctx, root);
}

// The result window of the second of three archives merged one after another, by a
// program whose folder the user cannot write (the history went to the user's folder).
void result_of_several(const Shot& shot) {
    product::Context ctx = shot.ctx;
    ctx.archive_index = 2;
    ctx.archive_count = 3;
    ctx.window_step = 1;
    ctx.tell_history_place = true;
    ctx.history_dir = platform::local_app_data_dir() / ctx.code;
    ui::show_done(ctx, sample_result(true));
}

// The error dialog on an archive that is gone; "error_long" in a deep folder,
// "error_nolog" with a file where the logs folder should be (the log cannot be written).
void error_dialog(const Shot& shot, bool long_path, bool no_log) {
    const fs::path logs = shot.program_dir / "logs";
    if (no_log) {
        fs::remove_all(logs);
        std::ofstream(logs) << "x";
    } else if (fs::exists(logs) && !fs::is_directory(logs)) {
        fs::remove(logs);  // left by an earlier picture
    }
    const std::string folder = !long_path ? "/home/seller/Документы/Заказы Sauyq 2024/Накладные за 15 мая"
                                          : "/home/seller/Документы/Заказы Sauyq 2024/Накладные за 15 мая (склад "
                                            "Алматы, ТОО «Пример Трейд»)/Отгрузка по договору № 17/2024 от 02.01.2024/"
                                            "Партия 000123456789, возвраты и повторные отправки клиентам";
    const diag::FileNotFound failure(
        i18n::t("zip_not_found", shot.lang, {{"path", folder + "/sauyq_orders_15.05.2024.zip"}}));
    ui::show_error_dialog(shot.ctx, i18n::t("error_pdf_failed", shot.lang), failure.what(), &failure,
                          "ZIP: /home/seller/Документы/sauyq_orders_15.05.2024.zip\nNUP: 4");
}

// Every window the tool can photograph, by its name on the command line.
const std::vector<std::pair<std::string_view, std::function<void(const Shot&)>>>& windows() {
    static const std::vector<std::pair<std::string_view, std::function<void(const Shot&)>>> table = {
        {"chooser",
         [](const Shot& s) {
             tk::Interp root;
             ui::simple_choice(s.ctx, root);
         }},
        {"wait",
         [](const Shot& s) {
             if (s.archive.empty()) throw std::runtime_error("the wait window needs an archive");
             ui::process_zip_with_wait(s.ctx, [&](const job::ProgressCallback& progress) {
                 // The job waits at its merging steps until the window is photographed
                 // (30 s at most): a job shorter than the delay before the bar shows
                 // would end before there is a bar to photograph.
                 const job::ProgressCallback held = [&progress](const job::JobProgress& p) {
                     progress(p);
                     if (p.stage != job::JobProgress::Stage::merging) return;
                     for (int i = 0; i < 300 && !g_photographed; ++i)
                         std::this_thread::sleep_for(std::chrono::milliseconds(100));
                 };
                 return job::process_zip(platform::path_from_utf8(s.archive), 4, s.ctx.job_environment(), held);
             });
         }},
        {"result", [](const Shot& s) { ui::show_done(s.ctx, sample_result(false)); }},
        {"result_new", [](const Shot& s) { ui::show_done(s.ctx, sample_result(true)); }},
        {"result_switch", result_switched},
        {"result_check", result_to_check},
        {"open_file", open_file},
        {"language", [](const Shot& s) { ui::choose_language_window(s.ctx); }},
        {"cleanup", [](const Shot& s) { ui::clean_old_sheets(s.ctx, old_sheets_folder(s.program_dir), s.lang); }},
        {"cleanup_none",
         [](const Shot& s) {
             fs::create_directories(s.program_dir / "no old sheets");
             ui::clean_old_sheets(s.ctx, s.program_dir / "no old sheets", s.lang);
         }},
        {"error", [](const Shot& s) { error_dialog(s, false, false); }},
        {"error_long", [](const Shot& s) { error_dialog(s, true, false); }},
        {"error_nolog", [](const Shot& s) { error_dialog(s, false, true); }},
        {"chooser_several",
         [](const Shot& s) {
             tk::Interp root;
             ui::simple_choice(s.ctx, root, 3);
         }},
        {"result_several", result_of_several},
        {"error_readonly",
         [](const Shot& s) {
             // A file that an earlier picture left where the logs folder goes.
             if (const fs::path logs = s.program_dir / "logs"; fs::exists(logs) && !fs::is_directory(logs))
                 fs::remove(logs);
             const diag::RuntimeError failure(
                 i18n::t("archive_folder_read_only", s.lang, {{"path", "/media/seller/ФЛЕШКА/Накладные за 15 мая"}}));
             ui::show_error_dialog(s.ctx, i18n::t("error_pdf_failed", s.lang), failure.what(), &failure,
                                   "ZIP: /media/seller/ФЛЕШКА/Накладные за 15 мая/orders.zip\nNUP: 4");
         }},
    };
    return table;
}

// Photographs each window once it waits for the user (half a second later, the focus
// where a window manager puts it), then closes it; the wait window once its bar shows.
void photograph_when_drawn(bool wait_for_progress) {
    tk::detail::Hooks hooks;
    hooks.on_wait = [](tk::Interp& in) {
        in.call({"after", 500, in.command([&in] {
                     show_focus(in);
                     if (!g_taken) check_nothing_cut(in);
                     photograph();
                     close_everything(in);
                 })});
    };
    hooks.on_update = [wait_for_progress](tk::Interp& in) {
        if (wait_for_progress && in.call({"winfo", "ismapped", ".wait.bar"}) != "1") return;
        if (!g_taken) check_nothing_cut(in);
        photograph();
    };
    tk::detail::set_hooks(hooks);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: show_window WINDOW LANG PROGRAM_DIR OUT.png [ARCHIVE]\n";
        return 2;
    }
    const std::string window = argv[1];
    const auto& table = windows();
    const auto found = std::find_if(table.begin(), table.end(), [&](const auto& w) { return w.first == window; });
    if (found == table.end()) {
        std::cerr << "unknown window: " << window << '\n';
        return 2;
    }
    g_out = argv[4];
    try {
        const fs::path program_dir = fs::absolute(argv[3]);
        const product::Context ctx =
            product::make_context(product::profile(), program_dir / platform::executable_file_name("Mergalo"));
        i18n::write_language(ctx.data_dir, argv[2]);
        // Tcl and Tk from the program folder's mgl/, as the program's start-up points them.
        product::buildmode::point_tcl_and_tk_to_library(ctx.library_dir);
        photograph_when_drawn(window == "wait");
        found->second(Shot{ctx, argv[2], program_dir, argc > 5 ? argv[5] : ""});
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    if (!g_taken) {
        std::cerr << "no picture was taken\n";
        return 1;
    }
    return g_cut ? 3 : 0;
}
