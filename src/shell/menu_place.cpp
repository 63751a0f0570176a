#include "shell/menu_place.hpp"

#include <memory>

#include "platform/platform.hpp"

namespace shell {

namespace {

// The branch to write to: the caller's, else the current user's, kept alive in
// `owned`; none where the system has no registry.
platform::Registry* branch(platform::Registry* given, std::unique_ptr<platform::Registry>& owned) {
    if (given) return given;
    owned = platform::current_user_registry();
    return owned.get();
}

}  // namespace

std::optional<FileManagerMenus> install_menu(const MenuInstall& install, platform::Registry* registry) {
    std::unique_ptr<platform::Registry> owned;
    if (platform::Registry* b = branch(registry, owned)) {
        write_registry_menu(*b, install.menu);
        return std::nullopt;
    }
    return detail::install_in_file_managers(install);
}

std::optional<FileManagerMenus> uninstall_menu(const std::vector<Menu>& every_language, platform::Registry* registry,
                                               const std::filesystem::path& made_record) {
    std::unique_ptr<platform::Registry> owned;
    if (platform::Registry* b = branch(registry, owned)) {
        remove_registry_menu(*b);
        return std::nullopt;
    }
    return detail::uninstall_from_file_managers(every_language, made_record);
}

}  // namespace shell
