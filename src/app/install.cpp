#include "app/install.hpp"

#include <system_error>
#include <vector>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "platform/platform.hpp"
#include "shell/menu_place.hpp"

namespace app {

namespace {

namespace fs = std::filesystem;

// The icon as PNG beside the .ico: the Linux file managers cannot show an .ico.
fs::path icon_png(const product::Context& ctx) { return fs::path(ctx.icon_file()).replace_extension(".png"); }

// The list of the folders that installing the menu made, kept with the user's settings.
fs::path made_folders_record(const product::Context& ctx) { return ctx.data_dir / "menu_folders.txt"; }

shell::Menu menu_in(const product::Context& ctx, std::string_view lang, const fs::path& exe, const fs::path& help) {
    return shell::make_menu(lang, ctx.code, ctx.title, exe, help, icon_png(ctx));
}

}  // namespace

std::optional<shell::FileManagerMenus> install_context_menu_silent(const product::Context& ctx) {
    // The executable's own folder: the history's folder of a portable program, and the
    // system's folder of one installed for all users (whose history lies with the user).
    const fs::path exe = ctx.program_dir / platform::executable_file_name(ctx.exe_name);
    const fs::path help = ctx.help_file();
    const std::string lang = ctx.language();

    std::error_code ec;
    if (ctx.bundled && !fs::exists(exe, ec))
        throw diag::FileNotFound(
            i18n::t("exe_not_found", lang,
                    {{"name", platform::executable_file_name(ctx.exe_name)}, {"folder", ctx.program_dir}}));

    shell::MenuInstall install{
        menu_in(ctx, lang, exe, help), {}, !ctx.system_wide, icon_png(ctx).parent_path(), made_folders_record(ctx)};
    for (auto code : i18n::LANGUAGES) install.every_language.push_back(menu_in(ctx, code, exe, help));
    try {
        return shell::install_menu(install, ctx.menu_registry);
    } catch (const diag::Error& e) {
        i18n::rethrow_in_language(e, lang);
    }
}

std::optional<shell::FileManagerMenus> uninstall_context_menu_silent(const product::Context& ctx) {
    std::vector<shell::Menu> every_language;
    for (auto code : i18n::LANGUAGES) every_language.push_back(menu_in(ctx, code, {}, {}));
    try {
        return shell::uninstall_menu(every_language, ctx.menu_registry, made_folders_record(ctx));
    } catch (const diag::Error& e) {
        i18n::rethrow_in_language(e, ctx.language());
    }
}

}  // namespace app
