// Systems without the freedesktop file managers (Windows): the menu's only place is
// the registry.
#include "diag/errors.hpp"
#include "shell/menu_place.hpp"

namespace shell::detail {

std::vector<std::string> install_in_file_managers(const MenuInstall&) {
    throw diag::RuntimeError(diag::Text{"menu_place_missing"});
}

std::vector<std::string> uninstall_from_file_managers(const std::vector<Menu>&) {
    throw diag::RuntimeError(diag::Text{"menu_place_missing"});
}

}  // namespace shell::detail
