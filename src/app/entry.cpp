#include "app/entry.hpp"

#include <charconv>
#include <iostream>
#include <optional>

#include "app/buildmode.hpp"
#include "app/modes.hpp"
#include "app/product.hpp"
#include "app/profile.hpp"
#include "app/selfcheck.hpp"
#include "diag/error_dialog.hpp"
#include "diag/error_log.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/unicode.hpp"
#include "pdf/mupdf.hpp"
#include "platform/platform.hpp"
#include "platform/termination.hpp"
#include "ui/dialogs.hpp"
#include "ui/result_window.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace app {

namespace {

int help_mode() {
    ui::open_help();
    return 0;
}

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Both merge routes end here: the job behind its wait window, then the result window.
// A failure is reported once, in the error dialog, with the archive and the layout as
// given. Returns false after a reported failure.
bool merge_and_show(const std::string& zip_text, int nup) {
    try {
        const std::filesystem::path zip_path = platform::path_from_utf8(zip_text);
        const MergeResult result = ui::process_zip_with_wait(zip_path, nup);
        // Repaired waybills are shown in the result window and also logged, so that a
        // failed download can be traced later; a log that cannot be written does not
        // keep the user from the result.
        if (const auto note = repaired_waybills_log_note(zip_path, result)) {
            try {
                diag::write_error_log(note->title, nullptr, note->extra);
            } catch (const std::exception&) {
            }
        }
        ui::show_done(result);
        return true;
    } catch (const std::exception& e) {
        diag::show_error_dialog(i18n::t("error_pdf_failed", ui::current_language()), e.what(), &e,
                                "ZIP: " + zip_text + "\nNUP: " + std::to_string(nup));
        return false;
    }
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
        {"--selfcheck", [] { return selfcheck::run(); }},
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

int main(const std::vector<std::string>& argv) {
    if (argv.size() < 2) {
        run_gui();
        return 0;
    }
    const int nup = argv.size() >= 3 ? parse_layout(argv[2]) : 1;
    return merge_and_show(argv[1], nup) ? 0 : 1;
}

void run_gui() {
    const std::string lang = ui::current_language();
    std::optional<std::string> zip_text;
    std::optional<int> nup_choice;
    try {
        ui::tk::Interp root;  // hidden; parent of the dialog and the chooser, gone before the merge
        zip_text = ui::ask_for_archive(root);
        if (!zip_text || zip_text->empty()) return;
        nup_choice = ui::simple_choice(root);
    } catch (const ui::tk::NoDisplay&) {
        std::cerr << i18n::t("no_window", lang) << '\n';
        return;
    }
    if (!nup_choice) return;
    merge_and_show(*zip_text, *nup_choice);
}

int run_program(const std::vector<std::string>& argv, const PdfLibraryLoader& load) {
    // First, before Tcl or anything else starts a thread: a merge told to stop (SIGTERM,
    // SIGHUP, SIGINT; closing the console on Windows) removes what it wrote.
    platform::enable_cleanup_on_termination();
    profile::bind(product::profile());
    buildmode::add_library_folder_to_path();
    buildmode::point_tcl_and_tk_to_library();
    try {
        load();
    } catch (const std::exception& e) {
        std::cout << "ERROR: MuPDF is not available: " << e.what() << std::endl;
        return 10;
    }
    try {
        for (const Switch& s : SWITCHES())
            if (asked_for(argv, s.flag)) return s.mode();
        return main(argv);
    } catch (const std::exception& e) {
        // Every mode and both merge routes report their own failures; what reaches here
        // (an error log that cannot be written, an unreadable resource folder) has no
        // better place than standard error.
        std::cerr << "ERROR: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace app
