#include "ui/old_sheets.hpp"

#include <iostream>
#include <system_error>

#include "i18n/catalogue.hpp"
#include "job/old_sheets.hpp"
#include "ui/tk.hpp"
#include "ui/window.hpp"

namespace ui {

void clean_old_sheets(const product::Context& ctx, const std::filesystem::path& folder, std::string_view lang) {
    try {
        const std::string title = ctx.title;
        // The age test is made now, before the question: exactly the listed files go.
        const auto paths = job::old_sheets(folder, title);
        if (paths.empty()) {
            tk::show_info(title, i18n::t("old_sheets_none", lang), lang);
            return;
        }
        const std::string question =
            i18n::t("old_sheets_confirm", lang, {{"names", job::describe_old_sheets(paths, lang)}});
        // Deleting is for good: Enter, or a hasty click on the default, must keep the files.
        if (tk::message_box({"yesno", "question", title, question, std::string(lang), "no"}) != "yes") return;
        for (const auto& path : paths) {
            std::error_code ec;
            std::filesystem::remove(path, ec);  // in use or already gone: the others still go
        }
    } catch (const tk::NoDisplay&) {
        std::cerr << i18n::t("no_window", lang) << '\n';
    }
}

}  // namespace ui
