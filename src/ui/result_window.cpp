#include "ui/result_window.hpp"

#include <iostream>
#include <optional>

#include "product/output_names.hpp"
#include "i18n/catalogue.hpp"
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

    const auto title_label = Widget::create(root, "label", win.path(), "title", {"-font", tk::font(16, "bold")});
    title_label.pack({"-padx", PAD, "-pady", tk::Word::list({20, 8})});
    const auto hint_label = Widget::create(root, "label", win.path(), "hint",
                                           {"-font", tk::font(12), "-justify", "center", "-wraplength", 700});
    hint_label.pack({"-padx", PAD, "-pady", tk::Word::list({0, 14})});
    const auto details_label = Widget::create(root, "label", win.path(), "details",
                                              {"-font", tk::font(10), "-justify", "left", "-wraplength", 760});
    details_label.pack({"-padx", PAD, "-pady", tk::Word::list({0, 12}), "-anchor", "w"});
    const auto block = Widget::create(root, "frame", win.path(), "buttons");
    block.pack({"-padx", PAD, "-pady", tk::Word::list({0, 18})});
    const auto top = Widget::create(root, "frame", block.path(), "top");
    top.pack();
    const auto bottom = Widget::create(root, "frame", block.path(), "bottom");
    bottom.pack({"-pady", tk::Word::list({8, 0})});

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
    const auto button = [&root](const Widget& row, std::string_view name, int width, std::function<void()> action) {
        auto b = Widget::create(root, "button", row.path(), name, {"-width", width, "-command", root.command(std::move(action))});
        b.pack({"-side", "left", "-padx", 6});
        return b;
    };
    // Follow-up actions fail silently: a missing file or folder simply does not open.
    const auto all_button = button(top, "all", 17, [&] { platform::shell_open(platform::utf8(result.out_pdf_all)); });
    const auto new_button = button(top, "new", 17, [&] {
        if (has_new_file(result)) platform::shell_open(platform::utf8(*result.out_pdf_new));
    });
    if (!has_new_file(result)) new_button.configure({"-state", "disabled"});
    const auto folder_button = button(top, "folder", 17, [&] { platform::shell_open(platform::utf8(folder)); });
    const auto tidy_button = button(top, "tidy", 22, [&] { clean_old_sheets(ctx, folder, ctx.language()); });

    std::function<void(const std::string&)> apply_language;
    const auto change_language = [&] {
        const auto chosen = choose_language_window(ctx, &win);
        if (!chosen) return;
        // Saved first: what follows the change (the menu) reads the stored language.
        i18n::write_language(ctx.data_dir, *chosen);
        if (on_language_changed) on_language_changed(*chosen);
        apply_language(*chosen);
        tk::show_info(ctx.title, i18n::t("language_saved", *chosen), *chosen);
    };
    const auto close = [&] {
        win.destroy();
        root.quit();
    };
    const auto help_button = button(bottom, "help", 17, [&ctx] { open_help(ctx); });
    const auto language_button = button(bottom, "language", 17, change_language);
    const auto close_button = button(bottom, "close", 17, close);
    // Before the texts are set: the focus rings add to the size the window is centred at.
    tk::use_keyboard(win, close, all_button.path());

    apply_language = [&](const std::string& chosen) {
        using i18n::t;
        title_label.configure({"-text", t("done_title", chosen)});
        hint_label.configure({"-text", t("done_hint", chosen)});
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
