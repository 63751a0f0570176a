// Writing and removing the menu for the running program: its executable, its help
// page and the current language go into the menu model of context_menu.cpp, which is
// written to the registry on Windows and to the file managers' folders on Linux.
#include "app/buildmode.hpp"
#include "app/folders.hpp"
#include "app/profile.hpp"
#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "i18n/messages.hpp"
#include "platform/platform.hpp"
#include "shell/context_menu.hpp"
#include "ui/window.hpp"
#if MERGALO_DESKTOP_MENUS
#include "shell/desktop_menus.hpp"
#endif

namespace shell {

namespace {

platform::Registry*& registry_override() {
    static platform::Registry* registry = nullptr;
    return registry;
}

// The registry to write to: a test's, else the system's, kept alive in `owned`; none
// where the system has no registry.
platform::Registry* registry(std::unique_ptr<platform::Registry>& owned) {
    if (registry_override()) return registry_override();
    owned = platform::current_user_registry();
    return owned.get();
}

#if MERGALO_DESKTOP_MENUS
DesktopFolders desktop_folders() { return {platform::xdg_data_home(), platform::xdg_config_home()}; }

std::vector<std::string> names_of(const std::vector<FileManager>& managers) {
    std::vector<std::string> names;
    for (FileManager m : managers) names.emplace_back(file_manager_name(m));
    return names;
}
#else
[[noreturn]] void no_menu_place() {
    throw diag::RuntimeError("Модуль реестра Windows недоступен. Установка меню поддерживается только в Windows.");
}
#endif

// The icon as PNG beside the .ico: the Linux file managers cannot show an .ico.
fs::path icon_png() { return fs::path(ui::icon::icon_file()).replace_extension(".png"); }

Menu menu_in(std::string_view lang, const fs::path& exe, const fs::path& help) {
    return make_menu(lang, app::profile::code(), app::profile::title(), exe, help, icon_png());
}

}  // namespace

std::optional<std::vector<std::string>> install_context_menu_silent() {
    std::unique_ptr<platform::Registry> owned;
    platform::Registry* branch = registry(owned);
#if !MERGALO_DESKTOP_MENUS
    if (!branch) no_menu_place();
#endif
    // The executable's own folder: the app folder of a portable program, and the
    // system's folder of one installed for all users (whose app folder is the user's).
    const fs::path program_folder = app::buildmode::program_dir();
    const fs::path exe = program_folder / platform::executable_file_name(app::profile::exe_name());
    const fs::path help = ui::help_file();
    const std::string lang = ui::current_language();

    std::error_code ec;
    if (app::buildmode::is_bundled() && !fs::exists(exe, ec))
        throw diag::FileNotFound(
            i18n::t("exe_not_found", lang, {{"name", app::profile::exe_name()}, {"folder", program_folder}}));

    const Menu menu = menu_in(lang, exe, help);
    if (branch) {
        write_registry_menu(*branch, menu);
        return std::nullopt;
    }
#if MERGALO_DESKTOP_MENUS
    const DesktopFolders folders = desktop_folders();
    const std::vector<FileManager> managers = installed_file_managers(platform::get_env("PATH").value_or(""));
    std::vector<MenuFile> files = desktop_menu_files(menu, folders, managers);
    if (!app::buildmode::installed_system_wide()) {
        const auto entry = application_entry_files(menu, folders, icon_png().parent_path());
        files.insert(files.end(), entry.begin(), entry.end());
    }
    // The labels of the other language may be on disk from before a language change.
    std::vector<Menu> every_language;
    for (auto code : i18n::LANGUAGES) every_language.push_back(menu_in(code, exe, help));
    try {
        replace_desktop_files(files, every_desktop_file(every_language, folders));
    } catch (const diag::Error& e) {
        i18n::rethrow_in_language(e, lang);
    }
    return names_of(managers);
#else
    return std::nullopt;  // not reached: without the registry no_menu_place() has thrown
#endif
}

std::optional<std::vector<std::string>> uninstall_context_menu_silent() {
    std::unique_ptr<platform::Registry> owned;
    if (platform::Registry* branch = registry(owned)) {
        remove_registry_menu(*branch);
        return std::nullopt;
    }
#if MERGALO_DESKTOP_MENUS
    std::vector<Menu> every_language;
    for (auto code : i18n::LANGUAGES) every_language.push_back(menu_in(code, {}, {}));
    try {
        return names_of(remove_desktop_files(every_desktop_file(every_language, desktop_folders())));
    } catch (const diag::Error& e) {
        i18n::rethrow_in_language(e, ui::current_language());
    }
#else
    no_menu_place();
#endif
}

namespace detail {
void use_registry(platform::Registry* registry) { registry_override() = registry; }
}  // namespace detail

}  // namespace shell
