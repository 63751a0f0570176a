#include "ui/dialogs.hpp"

#include "i18n/catalogue.hpp"
#include "ui/window.hpp"

namespace ui {

void prepare_dialogs(const product::Context& ctx, tk::Interp& in, std::string_view lang) noexcept {
    icon::apply(tk::Widget(in, "."), ctx.icon_file());
    tk::use_dialog_language(in, lang);
}

std::optional<std::string> ask_for_archive(const product::Context& ctx, tk::Interp& root) {
    const std::string lang = ctx.language();
    prepare_dialogs(ctx, root, lang);
    return tk::get_open_file(
        root, i18n::t("choose_zip", lang),
        {{i18n::t("file_type_zip", lang), tk::any_case_pattern(root, ".zip")}, {i18n::t("file_type_all", lang), "*"}});
}

}  // namespace ui
