#include "ui/result_window.hpp"

#include <iostream>
#include <optional>

#include "diag/error_log.hpp"
#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "product/output_names.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "ui/language_window.hpp"
#include "ui/old_sheets.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace ui {

namespace {

bool has_new_file(const app::MergeResult& result) { return result.out_pdf_new && !result.out_pdf_new->empty(); }

// Names quoted and joined by commas; past the first few, how many more there are, so a
// thousand damaged waybills still leave the window on the screen.
std::string name_list(const std::vector<std::string>& names, std::string_view lang) {
    constexpr std::size_t SHOWN = 5;
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < SHOWN; ++i) {
        if (i > 0) out += ", ";
        out += "«";
        out += names[i];
        out += "»";
    }
    if (names.size() > SHOWN) {
        out += " ";
        out += i18n::t("old_sheets_and_more", lang, {{"count", names.size() - SHOWN}});
    }
    return out;
}

// Opens a file or folder with its program, or says why it cannot: gone (deleted or
// moved since the merge), or no program could be started for it.
void open_or_throw(const fs::path& target) {
    std::error_code ec;
    if (!fs::exists(target, ec))
        throw diag::RuntimeError(diag::Text{"open_failed", {{"path", platform::utf8(target)}}, "fs_not_found"});
    if (!platform::shell_open(platform::utf8(target)))
        throw diag::RuntimeError(diag::Text{"open_failed", {{"path", platform::utf8(target)}}, "open_no_program"});
}

// The help page in the default browser, or the support chat when the page is missing.
void open_help_or_throw(const app::Context& ctx) {
    std::error_code ec;
    if (fs::exists(ctx.help_file(), ec)) {
        const fs::path absolute = fs::canonical(ctx.help_file(), ec);
        open_or_throw(ec ? ctx.help_file() : absolute);
    } else if (!platform::shell_open(std::string(TELEGRAM_URL))) {
        throw diag::RuntimeError(diag::Text{"open_failed", {{"path", std::string(TELEGRAM_URL)}}, "open_no_program"});
    }
}

// A follow-up action failed after a merge that succeeded: said in a box of its own,
// `heading` (a catalogue key, or empty) above the failure's own words, and logged when
// `log_title` is given (a log that cannot be written changes nothing here).
void report_failure(const app::Context& ctx, std::string_view heading, const std::exception& e, std::string_view lang,
                    std::string_view log_title = {}) {
    if (!log_title.empty()) ctx.log.write_quietly(log_title, &e);
    std::string text = heading.empty() ? std::string() : i18n::t(heading, lang) + "\n\n";
    text += i18n::message(e, lang);
    try {
        tk::message_box({"ok", "error", ctx.title, text, std::string(lang)});
    } catch (const tk::NoDisplay&) {
        std::cerr << text << std::endl;
    }
}

// Waybills named in the details, which the seller must look at before printing.
bool names_waybills(const app::MergeResult& result) {
    return !result.repaired.empty() || !result.conflicting_duplicates.empty();
}

// Whether the job asks the seller to look before printing.
bool needs_checking(const app::MergeResult& result) {
    return names_waybills(result) || result.skipped_history_records > 0;
}

// The hint under the title: check the waybills named below, or, when only the history
// had damaged records, the new-only file.
std::string_view hint_key(const app::MergeResult& result) {
    if (names_waybills(result)) return "done_hint_check";
    return result.skipped_history_records > 0 ? "done_hint_history" : "done_hint";
}

}  // namespace

std::string build_details(const app::Context& ctx, const app::MergeResult& result, std::string_view lang) {
    using i18n::t;
    std::string text = t("detail_version", lang, {{"version", ctx.version}});
    const auto line = [&text](const std::string& s) { text += "\n" + s; };
    line(t("detail_file_all", lang, {{"path", result.out_pdf_all}}));
    line(t("detail_file_new", lang,
           {{"path", has_new_file(result) ? i18n::Value(*result.out_pdf_new) : i18n::Value(t("detail_no_new_file", lang))}}));
    line(t("detail_mode", lang, {{"mode", app::mode_name(result.nup, lang)}}));
    line(t("files_taken", lang, {{"count", result.file_count_all}}));
    line(t("detail_new_count", lang, {{"count", result.file_count_new}}));
    line(t("detail_pages", lang, {{"count", result.total_pages_all}}));
    if (result.nup > 1) {
        line(t("detail_sheets_all", lang, {{"count", result.final_sheets_all}}));
        if (has_new_file(result)) line(t("detail_sheets_new", lang, {{"count", result.final_sheets_new}}));
    }
    // What the seller must check before printing: one line each, only when it happened.
    if (!result.repaired.empty())
        line(t("result_repaired", lang, {{"count", result.repaired.size()}, {"names", name_list(result.repaired, lang)}}));
    if (!result.conflicting_duplicates.empty())
        line(t("result_conflicting_duplicates", lang,
               {{"count", result.conflicting_duplicates.size()},
                {"names", name_list(result.conflicting_duplicates, lang)}}));
    if (result.skipped_history_records > 0)
        line(t("result_history_skipped", lang,
               {{"count", result.skipped_history_records},
                {"path", result.history_copy ? i18n::Value(*result.history_copy) : i18n::Value("")}}));
    return text;
}

void show_done(const app::Context& ctx, const app::MergeResult& result, const LanguageChanged& on_language_changed) {
    std::optional<tk::Interp> own_root;
    try {
        own_root.emplace();
    } catch (const tk::NoDisplay&) {
        std::cout << build_details(ctx, result, ctx.language()) << std::endl;
        return;
    }
    tk::Interp& root = *own_root;
    using tk::Widget;
    const auto win = Widget::create(root, "toplevel", ".", "done");
    win.title(ctx.title);
    win.not_resizable();
    const std::string lang = ctx.language();
    const Scale px(root);
    const int pad = px(PAD);

    const auto title_label = Widget::create(root, "label", win.path(), "title", {"-font", tk::font(16, "bold")});
    title_label.pack({"-padx", pad, "-pady", tk::Word::list({px(20), px(8)})});
    const auto hint_label = Widget::create(root, "label", win.path(), "hint",
                                           {"-font", tk::font(12), "-justify", "center", "-wraplength", px(700)});
    hint_label.pack({"-padx", pad, "-pady", tk::Word::list({0, px(14)})});
    const auto details_label = Widget::create(root, "label", win.path(), "details",
                                              {"-font", tk::font(10), "-justify", "left", "-wraplength", px(760)});
    details_label.pack({"-padx", pad, "-pady", tk::Word::list({0, px(12)}), "-anchor", "w"});
    const auto block = Widget::create(root, "frame", win.path(), "buttons");
    block.pack({"-padx", pad, "-pady", tk::Word::list({0, px(18)})});
    const auto top = Widget::create(root, "frame", block.path(), "top");
    top.pack();
    const auto bottom = Widget::create(root, "frame", block.path(), "bottom");
    bottom.pack({"-pady", tk::Word::list({px(8), 0})});

    const fs::path folder = result.out_pdf_all.parent_path();
    // A button keeps its width in characters (Tk counts in widths of "0") unless its text
    // would be cut in the font the system really draws with (Segoe UI, or a fallback with
    // other widths): then it is as wide as its text.
    const auto fit_width = [&root](const Widget& b, int width) {
        const std::string font = b.cget("-font");
        const int zero = root.call_int({"font", "measure", font, "0"});
        const int text = root.call_int({"font", "measure", font, b.cget("-text")});
        const int needed = zero > 0 ? (text + zero - 1) / zero : width;
        b.configure({"-width", needed > width ? needed : width});
    };
    // A failed action is said in a box of its own and the window stays: the merge
    // itself succeeded.
    const auto button = [&](const Widget& row, std::string_view name, int width, std::function<void()> action) {
        auto guarded = [&ctx, action = std::move(action)] {
            try {
                action();
            } catch (const tk::TclError&) {
                throw;  // the window itself is broken: a fault of the program
            } catch (const std::exception& e) {
                report_failure(ctx, {}, e, ctx.language());
            }
        };
        auto b = Widget::create(root, "button", row.path(), name, {"-width", width, "-command", root.command(std::move(guarded))});
        b.pack({"-side", "left", "-padx", px(6)});
        return b;
    };
    const auto all_button = button(top, "all", 17, [&] { open_or_throw(result.out_pdf_all); });
    const auto new_button = button(top, "new", 17, [&] {
        if (has_new_file(result)) open_or_throw(*result.out_pdf_new);
    });
    if (!has_new_file(result)) new_button.configure({"-state", "disabled"});
    const auto folder_button = button(top, "folder", 17, [&] { open_or_throw(folder); });
    const auto tidy_button = button(top, "tidy", 22, [&] { clean_old_sheets(ctx, folder, ctx.language()); });

    std::function<void(const std::string&)> apply_language;
    const auto change_language = [&] {
        const auto chosen = choose_language_window(ctx, &win);
        if (!chosen) return;
        // Saved first: what follows the change (the menu) reads the stored language.
        try {
            i18n::write_language(ctx.data_dir, *chosen);
        } catch (const std::exception& e) {
            // Nothing changed: the window keeps its language and says why in it.
            report_failure(ctx, "language_save_failed", e, ctx.language(), diag::log_titles::LANGUAGE_NOT_SAVED);
            return;
        }
        try {
            if (on_language_changed) on_language_changed(*chosen);
        } catch (const std::exception& e) {
            apply_language(*chosen);
            report_failure(ctx, "menu_relabel_failed", e, *chosen);
            return;
        }
        apply_language(*chosen);
        tk::show_info(ctx.title, i18n::t("language_saved", *chosen), *chosen);
    };
    const auto close = [&] {
        win.destroy();
        root.quit();
    };
    const auto help_button = button(bottom, "help", 17, [&ctx] { open_help_or_throw(ctx); });
    const auto language_button = button(bottom, "language", 17, change_language);
    const auto close_button = button(bottom, "close", 17, close);
    // Before the texts are set: the focus rings add to the size the window is centred at.
    tk::use_keyboard(win, close, all_button.path());

    apply_language = [&](const std::string& chosen) {
        using i18n::t;
        // Something to check before printing is not a plain success.
        title_label.configure({"-text", t(needs_checking(result) ? "done_title_check" : "done_title", chosen)});
        hint_label.configure({"-text", t(hint_key(result), chosen)});
        details_label.configure({"-text", build_details(ctx, result, chosen)});
        all_button.configure({"-text", t("btn_open_all", chosen)});
        new_button.configure({"-text", t("btn_open_new", chosen)});
        folder_button.configure({"-text", t("btn_open_folder", chosen)});
        tidy_button.configure({"-text", t("clean_old_sheets", chosen)});
        help_button.configure({"-text", t("open_help", chosen)});
        language_button.configure({"-text", t("change_language", chosen)});
        close_button.configure({"-text", t("btn_close", chosen)});
        for (const Widget* b : {&all_button, &new_button, &folder_button, &help_button, &language_button, &close_button})
            fit_width(*b, 17);
        fit_width(tidy_button, 22);
        // Drop the size the last centring fixed, so the window takes the natural size
        // of its new texts before it is centred again (else longer texts are clipped).
        root.call({"wm", "geometry", win.path(), ""});
        center_window(ctx, win);
    };
    apply_language(lang);
    win.on_close(close);
    center_window(ctx, win);
    root.mainloop();
}

}  // namespace ui
