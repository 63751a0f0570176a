#include "ui/result_window.hpp"

#include <deque>
#include <functional>
#include <iostream>
#include <optional>

#include "diag/error_log.hpp"
#include "diag/errors.hpp"
#include "history/store.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "i18n/settings.hpp"
#include "job/layouts.hpp"
#include "job/output_names.hpp"
#include "platform/platform.hpp"
#include "ui/language_window.hpp"
#include "ui/old_sheets.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace ui {

namespace {

bool has_new_file(const job::MergeResult& result) { return result.out_pdf_new && !result.out_pdf_new->empty(); }

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
void open_help_or_throw(const product::Context& ctx) {
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
void report_failure(const product::Context& ctx, std::string_view heading, const std::exception& e,
                    std::string_view lang, std::string_view log_title = {}) {
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
bool names_waybills(const job::MergeResult& result) {
    return !result.repaired.empty() || !result.conflicting_duplicates.empty();
}

// Whether the job asks the seller to look before printing.
bool needs_checking(const job::MergeResult& result) {
    return names_waybills(result) || result.skipped_history_records > 0;
}

// The hint under the title: check the waybills named below, or, when only the history
// had damaged records, the new-only file.
std::string_view hint_key(const job::MergeResult& result) {
    if (names_waybills(result)) return "done_hint_check";
    return result.skipped_history_records > 0 ? "done_hint_history" : "done_hint";
}

}  // namespace

std::string build_details(const product::Context& ctx, const job::MergeResult& result, std::string_view lang) {
    using i18n::t;
    std::string text = t("detail_version", lang, {{"version", ctx.version}});
    const auto line = [&text](const std::string& s) { text += "\n" + s; };
    line(t("detail_file_all", lang, {{"path", result.out_pdf_all}}));
    line(t("detail_file_new", lang,
           {{"path",
             has_new_file(result) ? i18n::Value(*result.out_pdf_new) : i18n::Value(t("detail_no_new_file", lang))}}));
    line(t("detail_mode", lang, {{"mode", job::mode_name(result.nup, lang)}}));
    line(t("files_taken", lang, {{"count", result.file_count_all}}));
    line(t("detail_new_count", lang, {{"count", result.file_count_new}}));
    line(t("detail_pages", lang, {{"count", result.total_pages_all}}));
    if (result.nup > 1) {
        line(t("detail_sheets_all", lang, {{"count", result.final_sheets_all}}));
        if (has_new_file(result)) line(t("detail_sheets_new", lang, {{"count", result.final_sheets_new}}));
    }
    // What the seller must check before printing: one line each, only when it happened.
    if (!result.repaired.empty())
        line(t("result_repaired", lang,
               {{"count", result.repaired.size()}, {"names", name_list(result.repaired, lang)}}));
    if (!result.conflicting_duplicates.empty())
        line(t("result_conflicting_duplicates", lang,
               {{"count", result.conflicting_duplicates.size()},
                {"names", name_list(result.conflicting_duplicates, lang)}}));
    if (result.skipped_history_records > 0)
        line(t("result_history_skipped", lang,
               {{"count", result.skipped_history_records},
                {"path", result.history_copy ? i18n::Value(*result.history_copy) : i18n::Value("")}}));
    if (ctx.tell_history_place)
        line(t("result_history_moved", lang, {{"path", history::history_csv_path(ctx.history_dir)}}));
    return text;
}

namespace {

// The result window on its own hidden Tk main window: built once, its texts set in a
// language (again when the user picks another one), its buttons' actions as members.
class ResultWindow {
public:
    ResultWindow(const product::Context& ctx, const job::MergeResult& result,
                 const LanguageChanged& on_language_changed, tk::Interp& root)
        : ctx_(ctx),
          result_(result),
          on_language_changed_(on_language_changed),
          root_(root),
          win_(tk::Widget::create(root, "toplevel", ".", "done")),
          px_(root) {}

    // Shows the window in the current language and returns when the user closed it.
    void show() {
        build();
        apply_language(ctx_.language());
        win_.on_close([this] { close(); });
        center_window(ctx_, win_);
        root_.mainloop();
    }

private:
    using Widget = tk::Widget;

    void build() {
        win_.not_resizable();
        const int pad = px_(PAD);
        title_.emplace(Widget::create(root_, "label", win_.path(), "title", {"-font", tk::font(16, "bold")}));
        title_->pack({"-padx", pad, "-pady", tk::Word::list({px_(20), px_(8)})});
        hint_.emplace(Widget::create(root_, "label", win_.path(), "hint",
                                     {"-font", tk::font(12), "-justify", "center", "-wraplength", px_(700)}));
        hint_->pack({"-padx", pad, "-pady", tk::Word::list({0, px_(14)})});
        details_.emplace(Widget::create(root_, "label", win_.path(), "details",
                                        {"-font", tk::font(10), "-justify", "left", "-wraplength", px_(760)}));
        details_->pack({"-padx", pad, "-pady", tk::Word::list({0, px_(12)}), "-anchor", "w"});
        const auto block = Widget::create(root_, "frame", win_.path(), "buttons");
        block.pack({"-padx", pad, "-pady", tk::Word::list({0, px_(18)})});
        const auto top = Widget::create(root_, "frame", block.path(), "top");
        top.pack();
        const auto bottom = Widget::create(root_, "frame", block.path(), "bottom");
        bottom.pack({"-pady", tk::Word::list({px_(8), 0})});

        const fs::path folder = result_.out_pdf_all.parent_path();
        add(top, "all", "btn_open_all", 17, [this] { open_or_throw(result_.out_pdf_all); });
        const Widget& open_new = add(top, "new", "btn_open_new", 17, [this] {
            if (has_new_file(result_)) open_or_throw(*result_.out_pdf_new);
        });
        if (!has_new_file(result_)) open_new.configure({"-state", "disabled"});
        add(top, "folder", "btn_open_folder", 17, [folder] { open_or_throw(folder); });
        add(top, "tidy", "clean_old_sheets", 22, [this, folder] { clean_old_sheets(ctx_, folder, ctx_.language()); });
        add(bottom, "help", "open_help", 17, [this] { open_help_or_throw(ctx_); });
        add(bottom, "language", "change_language", 17, [this] { change_language(); });
        add(bottom, "close", "btn_close", 17, [this] { close(); });
        // Before the texts are set: the focus rings add to the size the window is centred at.
        tk::use_keyboard(
            win_, [this] { close(); }, buttons_.front().widget.path());
    }

    // A button whose failed action is said in a box of its own while the window stays:
    // the merge itself succeeded. Its text comes from `key` in the window's language.
    const Widget& add(const Widget& row, std::string_view name, std::string_view key, int width,
                      std::function<void()> action) {
        auto guarded = [this, action = std::move(action)] {
            try {
                action();
            } catch (const tk::TclError&) {
                throw;  // the window itself is broken: a fault of the program
            } catch (const std::exception& e) {
                report_failure(ctx_, {}, e, ctx_.language());
            }
        };
        auto b = Widget::create(root_, "button", row.path(), name,
                                {"-width", width, "-command", root_.command(std::move(guarded))});
        b.pack({"-side", "left", "-padx", px_(6)});
        buttons_.push_back({std::move(b), std::string(key), width});
        return buttons_.back().widget;
    }

    // A button keeps its width in characters (Tk counts in widths of "0") unless its text
    // would be cut in the font the system really draws with (Segoe UI, or a fallback
    // with other widths): then it is as wide as its text.
    void fit_width(const Widget& b, int width) {
        const std::string font = b.cget("-font");
        const int zero = root_.call_int({"font", "measure", font, "0"});
        const int text = root_.call_int({"font", "measure", font, b.cget("-text")});
        const int needed = zero > 0 ? (text + zero - 1) / zero : width;
        b.configure({"-width", needed > width ? needed : width});
    }

    void apply_language(const std::string& lang) {
        using i18n::t;
        // Something to check before printing is not a plain success.
        win_.title(archive_window_title(ctx_, lang));
        title_->configure({"-text", t(needs_checking(result_) ? "done_title_check" : "done_title", lang)});
        hint_->configure({"-text", t(hint_key(result_), lang)});
        details_->configure({"-text", build_details(ctx_, result_, lang)});
        for (const Button& b : buttons_) {
            b.widget.configure({"-text", t(b.key, lang)});
            fit_width(b.widget, b.width);
        }
        // Drop the size the last centring fixed, so the window takes the natural size of
        // its new texts before it is centred again (else longer texts are clipped).
        root_.call({"wm", "geometry", win_.path(), ""});
        center_window(ctx_, win_);
    }

    void change_language() {
        const auto chosen = choose_language_window(ctx_, &win_);
        if (!chosen) return;
        // Saved first: what follows the change (the menu) reads the stored language.
        try {
            i18n::write_language(ctx_.data_dir, *chosen);
        } catch (const std::exception& e) {
            // Nothing changed: the window keeps its language and says why in it.
            report_failure(ctx_, "language_save_failed", e, ctx_.language(), diag::log_titles::LANGUAGE_NOT_SAVED);
            return;
        }
        try {
            if (on_language_changed_) on_language_changed_(*chosen);
        } catch (const std::exception& e) {
            apply_language(*chosen);
            report_failure(ctx_, "menu_relabel_failed", e, *chosen);
            return;
        }
        apply_language(*chosen);
        tk::show_info(ctx_.title, i18n::t("language_saved", *chosen), *chosen);
    }

    void close() {
        win_.destroy();
        root_.quit();
    }

    struct Button {
        Widget widget;
        std::string key;  // of its text
        int width;        // at least, in characters
    };

    const product::Context& ctx_;
    const job::MergeResult& result_;
    const LanguageChanged& on_language_changed_;
    tk::Interp& root_;
    Widget win_;
    const Scale px_;
    std::optional<Widget> title_, hint_, details_;
    std::deque<Button> buttons_;  // in the order of the focus; a deque keeps them in place
};

}  // namespace

void show_done(const product::Context& ctx, const job::MergeResult& result,
               const LanguageChanged& on_language_changed) {
    std::optional<tk::Interp> root;
    try {
        root.emplace();
    } catch (const tk::NoDisplay&) {
        std::cout << build_details(ctx, result, ctx.language()) << std::endl;
        return;
    }
    ResultWindow(ctx, result, on_language_changed, *root).show();
}

}  // namespace ui
