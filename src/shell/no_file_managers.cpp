// Systems without the freedesktop file managers (Windows): the menu's only place is
// the registry.
#include "diag/errors.hpp"
#include "shell/menu_place.hpp"

namespace shell::detail {

FileManagerMenus install_in_file_managers(const MenuInstall&) {
    throw diag::RuntimeError(diag::Text{"menu_place_missing"});
}

FileManagerMenus uninstall_from_file_managers(const std::vector<Menu>&, const std::filesystem::path&) {
    throw diag::RuntimeError(diag::Text{"menu_place_missing"});
}

}  // namespace shell::detail
