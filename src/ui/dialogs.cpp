#include "ui/dialogs.hpp"

#include "i18n/catalogue.hpp"
#include "platform/platform.hpp"
#include "ui/window.hpp"

namespace ui {

void prepare_dialogs(const product::Context& ctx, tk::Interp& in, std::string_view lang) noexcept {
    icon::apply(tk::Widget(in, "."), ctx.icon_file());
    tk::use_dialog_language(in, lang);
}

std::optional<std::string> ask_for_archive(const product::Context& ctx, tk::Interp& root) {
    const std::string lang = ctx.language();
    prepare_dialogs(ctx, root, lang);
    // Waybill archives are downloaded: the dialog starts in the user's Downloads folder
    // (else where Tk starts, the working folder), and shows a day's archives without
    // scrolling sideways.
    const Scale px(root);
    tk::OpenFilePlace place{std::nullopt, px(FILE_LIST_WIDTH), px(FILE_LIST_HEIGHT)};
    if (const auto downloads = platform::downloads_dir()) place.folder = platform::utf8(*downloads);
    return tk::get_open_file(
        root, i18n::t("choose_zip", lang),
        {{i18n::t("file_type_zip", lang), tk::any_case_pattern(root, ".zip")}, {i18n::t("file_type_all", lang), "*"}},
        place);
}

}  // namespace ui
