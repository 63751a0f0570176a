#include "app/install.hpp"

#include <memory>
#include <system_error>
#include <vector>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "platform/platform.hpp"
#include "shell/context_menu.hpp"
#if MERGALO_DESKTOP_MENUS
#include "shell/desktop_menus.hpp"
#endif

namespace app {

namespace {

namespace fs = std::filesystem;

// The registry to write to: the context's (a test's), else the system's, kept alive in
// `owned`; none where the system has no registry.
platform::Registry* registry(const product::Context& ctx, std::unique_ptr<platform::Registry>& owned) {
    if (ctx.menu_registry) return ctx.menu_registry;
    owned = platform::current_user_registry();
    return owned.get();
}

#if MERGALO_DESKTOP_MENUS
shell::DesktopFolders desktop_folders() { return {platform::xdg_data_home(), platform::xdg_config_home()}; }

std::vector<std::string> names_of(const std::vector<shell::FileManager>& managers) {
    std::vector<std::string> names;
    for (shell::FileManager m : managers) names.emplace_back(shell::file_manager_name(m));
    return names;
}
#else
[[noreturn]] void no_menu_place() {
    throw diag::RuntimeError(diag::Text{"menu_place_missing"});
}
#endif

// The icon as PNG beside the .ico: the Linux file managers cannot show an .ico.
fs::path icon_png(const product::Context& ctx) { return fs::path(ctx.icon_file()).replace_extension(".png"); }

shell::Menu menu_in(const product::Context& ctx, std::string_view lang, const fs::path& exe, const fs::path& help) {
    return shell::make_menu(lang, ctx.code, ctx.title, exe, help, icon_png(ctx));
}

}  // namespace

std::optional<std::vector<std::string>> install_context_menu_silent(const product::Context& ctx) {
    std::unique_ptr<platform::Registry> owned;
    platform::Registry* branch = registry(ctx, owned);
#if !MERGALO_DESKTOP_MENUS
    if (!branch) no_menu_place();
#endif
    // The executable's own folder: the app folder of a portable program, and the
    // system's folder of one installed for all users (whose app folder is the user's).
    const fs::path exe = ctx.program_dir / platform::executable_file_name(ctx.exe_name);
    const fs::path help = ctx.help_file();
    const std::string lang = ctx.language();

    std::error_code ec;
    if (ctx.bundled && !fs::exists(exe, ec))
        throw diag::FileNotFound(i18n::t(
            "exe_not_found", lang, {{"name", platform::executable_file_name(ctx.exe_name)}, {"folder", ctx.program_dir}}));

    const shell::Menu menu = menu_in(ctx, lang, exe, help);
    if (branch) {
        shell::write_registry_menu(*branch, menu);
        return std::nullopt;
    }
#if MERGALO_DESKTOP_MENUS
    const shell::DesktopFolders folders = desktop_folders();
    const std::vector<shell::FileManager> managers =
        shell::installed_file_managers(platform::get_env("PATH").value_or(""));
    std::vector<shell::MenuFile> files = shell::desktop_menu_files(menu, folders, managers);
    if (!ctx.system_wide) {
        const auto entry = shell::application_entry_files(menu, folders, icon_png(ctx).parent_path());
        files.insert(files.end(), entry.begin(), entry.end());
    }
    // The labels of the other language may be on disk from before a language change.
    std::vector<shell::Menu> every_language;
    for (auto code : i18n::LANGUAGES) every_language.push_back(menu_in(ctx, code, exe, help));
    try {
        shell::replace_desktop_files(files, shell::every_desktop_file(every_language, folders));
    } catch (const diag::Error& e) {
        i18n::rethrow_in_language(e, lang);
    }
    return names_of(managers);
#else
    return std::nullopt;  // not reached: without the registry no_menu_place() has thrown
#endif
}

std::optional<std::vector<std::string>> uninstall_context_menu_silent(const product::Context& ctx) {
    std::unique_ptr<platform::Registry> owned;
    if (platform::Registry* branch = registry(ctx, owned)) {
        shell::remove_registry_menu(*branch);
        return std::nullopt;
    }
#if MERGALO_DESKTOP_MENUS
    std::vector<shell::Menu> every_language;
    for (auto code : i18n::LANGUAGES) every_language.push_back(menu_in(ctx, code, {}, {}));
    try {
        return names_of(shell::remove_desktop_files(shell::every_desktop_file(every_language, desktop_folders())));
    } catch (const diag::Error& e) {
        i18n::rethrow_in_language(e, ctx.language());
    }
#else
    no_menu_place();
#endif
}

}  // namespace app
