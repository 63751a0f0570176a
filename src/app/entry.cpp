#include "app/entry.hpp"

#include <charconv>
#include <iostream>
#include <optional>

#include "app/install.hpp"
#include "app/modes.hpp"
#include "app/selfcheck.hpp"
#include "diag/error_log.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "i18n/unicode.hpp"
#include "job/job.hpp"
#include "pdf/mupdf.hpp"
#include "platform/platform.hpp"
#include "platform/termination.hpp"
#include "product/buildmode.hpp"
#include "product/product.hpp"
#include "shell/desktop_menus.hpp"
#include "ui/dialogs.hpp"
#include "ui/error_dialog.hpp"
#include "ui/result_window.hpp"
#include "ui/tk.hpp"
#include "ui/wait_window.hpp"
#include "ui/window.hpp"

namespace app {

namespace {

int help_mode(const product::Context& ctx) {
    ui::open_help(ctx);
    return 0;
}

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The menu follows a language picked in the result window (the new language is saved
// by then). A failure is logged and passed on: the result window says it.
void relabel_menu(const product::Context& ctx) {
    try {
        install_context_menu_silent(ctx);
    } catch (const std::exception& e) {
        ctx.log.write_quietly(diag::log_titles::MENU_RELABEL_FAILED, &e);  // the user is told all the same
        throw;
    }
}

// Both merge routes end here: the job behind its wait window, then the result window.
// A failure of the job is reported once, in the error dialog, with the archive and the
// layout as given. Returns false after a reported failure of the job; what fails once
// the job succeeded (in or around the result window) never makes the merge a failure.
// `index` and `count` place the archive among several merged one after another.
bool merge_and_show(const product::Context& program, const std::string& zip_text, int nup, int index = 1,
                    int count = 1) {
    // Merges running at once (one process per archive picked in a file manager) show
    // their windows stood off one another, each as many steps as its slot's number.
    const ui::WindowSlot slot(program.temp_root, program.code);
    product::Context ctx = program;
    ctx.archive_index = index;
    ctx.archive_count = count;
    ctx.window_step = slot.step();
    const std::filesystem::path zip_path = platform::path_from_utf8(zip_text);
    job::MergeResult result;
    try {
        result = ui::process_zip_with_wait(ctx, [&](const job::ProgressCallback& progress) {
            return job::process_zip(zip_path, nup, ctx.job_environment(), progress);
        });
    } catch (const std::exception& e) {
        const std::string lang = ctx.language();
        ui::show_error_dialog(ctx, i18n::t("error_pdf_failed", lang), i18n::message(e, lang), &e,
                              "ZIP: " + zip_text + "\nNUP: " + std::to_string(nup));
        return false;
    }
    // Repaired waybills are shown in the result window and also logged, so that a
    // failed download can be traced later; a log that cannot be written does not
    // keep the user from the result.
    if (const auto note = job::repaired_waybills_log_note(zip_path, result))
        ctx.log.write_quietly(note->title, nullptr, note->extra);
    try {
        ui::show_done(ctx, result, [&ctx](const std::string&) { relabel_menu(ctx); });
    } catch (const std::exception& e) {
        // The result window broke (its buttons report their own failures): the PDFs
        // and the history are written all the same, and the error dialog says so and
        // where they are. The merge stays a success.
        const std::string lang = ctx.language();
        std::string extra = "ZIP: " + zip_text + "\nNUP: " + std::to_string(nup);
        extra += "\nPDF: " + platform::utf8(result.out_pdf_all);
        if (result.out_pdf_new && *result.out_pdf_new != result.out_pdf_all)
            extra += "\nPDF: " + platform::utf8(*result.out_pdf_new);
        try {
            ui::show_error_dialog(ctx, i18n::t("error_result_window", lang), i18n::message(e, lang), &e, extra);
        } catch (const std::exception&) {
            std::cerr << i18n::message(e, lang) << std::endl;
        }
    }
    return true;
}

}  // namespace

void load_pdf_library() { pdf::mupdf_context(); }

bool asked_for(const std::vector<std::string>& argv, std::string_view flag) {
    return argv.size() >= 2 && lower_ascii(argv[1]) == flag;
}

const std::vector<Switch>& SWITCHES() {
    static const std::vector<Switch> switches = {
        {"--help", help_mode},
        {"--install-menu", install_menu_silently},
        {"--uninstall-menu", uninstall_menu_silently},
        {"--uninstall-data", purge_personal_data_silently},
        {"--install", run_install_mode},
        {"--uninstall", run_uninstall_mode},
        {"--selfcheck", [](const product::Context& ctx) { return selfcheck::run(ctx); }},
    };
    return switches;
}

int parse_layout(std::string_view text) {
    std::string_view digits = i18n::trim_space(text);
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    // from_chars would take a second sign ("+-4"); only digits may follow the one sign.
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') return 1;
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return 1;
    return negative ? -value : value;
}

int merge_from_command_line(const product::Context& ctx, const std::vector<std::string>& argv) {
    if (argv.size() < 2) {
        run_gui(ctx);
        return 0;
    }
    const int nup = argv.size() >= 3 ? parse_layout(argv[2]) : 1;
    return merge_and_show(ctx, argv[1], nup) ? 0 : 1;
}

void run_gui(const product::Context& ctx) {
    const std::string lang = ctx.language();
    std::optional<std::string> zip_text;
    std::optional<int> nup_choice;
    try {
        ui::tk::Interp root;  // hidden; parent of the dialog and the chooser, gone before the merge
        zip_text = ui::ask_for_archive(ctx, root);
        if (!zip_text || zip_text->empty()) return;
        nup_choice = ui::simple_choice(ctx, root);
    } catch (const ui::tk::NoDisplay&) {
        std::cerr << i18n::t("no_window", lang) << '\n';
        return;
    }
    if (!nup_choice) return;
    merge_and_show(ctx, *zip_text, *nup_choice);
}

int choose_layout_and_merge(const product::Context& ctx, const std::vector<std::string>& argv) {
    if (argv.size() < 3) {
        run_gui(ctx);
        return 0;
    }
    const std::string lang = ctx.language();
    std::optional<int> nup_choice;
    try {
        ui::tk::Interp root;  // hidden; parent of the chooser, gone before the merges
        nup_choice = ui::simple_choice(ctx, root, static_cast<int>(argv.size() - 2));
    } catch (const ui::tk::NoDisplay&) {
        std::cerr << i18n::t("no_window", lang) << '\n';
        return 1;
    }
    if (!nup_choice) return 0;
    bool merged_all = true;
    const int count = static_cast<int>(argv.size() - 2);
    for (std::size_t i = 2; i < argv.size(); ++i)
        merged_all = merge_and_show(ctx, argv[i], *nup_choice, static_cast<int>(i - 1), count) && merged_all;
    return merged_all ? 0 : 1;
}

int run_program(const std::vector<std::string>& argv, const PdfLibraryLoader& load) {
    // First, before Tcl or anything else starts a thread: a merge told to stop (SIGTERM,
    // SIGHUP, SIGINT; closing the console on Windows) removes what it wrote.
    platform::enable_cleanup_on_termination();
    const product::Context ctx = product::make_context(product::profile(), platform::executable_path());
    product::buildmode::add_library_folder_to_path(ctx.library_dir);
    product::buildmode::point_tcl_and_tk_to_library(ctx.library_dir);
    try {
        load();
    } catch (const std::exception& e) {
        std::cout << "ERROR: MuPDF is not available: " << e.what() << std::endl;
        return 10;
    }
    try {
        for (const Switch& s : SWITCHES())
            if (asked_for(argv, s.flag)) return s.mode(ctx);
        if (asked_for(argv, shell::CHOOSE_LAYOUT_SWITCH)) return choose_layout_and_merge(ctx, argv);
        return merge_from_command_line(ctx, argv);
    } catch (const std::exception& e) {
        // Every mode and both merge routes report their own failures; what reaches here
        // (a toolkit that breaks down, an unreadable resource folder) has no better
        // place than standard error.
        std::cerr << "ERROR: " << i18n::message(e, ctx.language()) << std::endl;
        return 1;
    }
}

}  // namespace app
