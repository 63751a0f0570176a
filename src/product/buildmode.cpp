#include "product/buildmode.hpp"

#include "i18n/unicode.hpp"
#include "platform/platform.hpp"

namespace product::buildmode {

namespace {

bool lies_inside(const fs::path& file, const fs::path& folder) {
    auto rel = file.lexically_normal().lexically_relative(folder.lexically_normal());
    return !rel.empty() && *rel.begin() != "..";
}

std::optional<std::string> non_empty_env(const char* name) {
    auto v = platform::get_env(name);
    if (v && !v->empty()) return v;
    return std::nullopt;
}

}  // namespace

bool is_bundled(const fs::path& exe) {
    std::error_code ec;
    fs::path tree = fs::weakly_canonical(fs::path(MERGALO_BUILD_TREE), ec);
    return !lies_inside(exe, ec ? fs::path(MERGALO_BUILD_TREE) : tree);
}

fs::path program_dir(const ProductProfile& product, const fs::path& exe) {
    return is_bundled(exe) ? exe.parent_path() : *product.ROOT;
}

std::optional<fs::path> library_dir(const ProductProfile& product, const fs::path& exe) {
    if (!is_bundled(exe)) return std::nullopt;
    fs::path lib = exe.parent_path() / *product.LIB_FOLDER;
    std::error_code ec;
    if (fs::is_directory(lib, ec)) return lib;
    return std::nullopt;
}

fs::path bundle_dir(const ProductProfile& product, const fs::path& exe) {
    if (!is_bundled(exe)) return *product.ROOT;
    if (auto lib = library_dir(product, exe)) return *lib;
    return exe.parent_path();
}

bool installed_system_wide(const ProductProfile& product, const fs::path& exe) {
    const auto lib = library_dir(product, exe);
    std::error_code ec;
    return lib && fs::is_regular_file(*lib / SYSTEM_INSTALL_MARKER, ec);
}

Home locate_home(const ProductProfile& product, const fs::path& exe) {
    const auto users_own = [&] {
        const fs::path home = platform::local_app_data_dir() / *product.CODE;
        std::error_code ec;  // a folder that cannot be made fails the first write there, by name
        fs::create_directories(home, ec);
        return home;
    };
    if (installed_system_wide(product, exe)) return {users_own(), false};
    if (const auto& user = product.USER_FOLDER; user && !user->empty()) {
        if (!is_bundled(exe)) return {*product.ROOT / "data", false};
        fs::path base;
        if (auto v = non_empty_env("LOCALAPPDATA"))
            base = platform::path_from_utf8(*v);
        else if (auto w = non_empty_env("APPDATA"))
            base = platform::path_from_utf8(*w);
        else
            base = platform::local_app_data_dir();
        return {base / *user, false};
    }
    fs::path bundle = bundle_dir(product, exe);
    if (i18n::fold_case(platform::utf8(bundle.filename())) == i18n::fold_case(*product.LIB_FOLDER))
        bundle = bundle.parent_path();
    // Only a denial moves the history: any other failure (a full disk) is said, by name,
    // when the history is written.
    if (is_bundled(exe) && platform::is_no_write_access(platform::try_create_beside(bundle / "waybill_history.csv")))
        return {users_own(), true};
    return {bundle, false};
}

fs::path home_dir(const ProductProfile& product, const fs::path& exe) { return locate_home(product, exe).dir; }

void add_library_folder_to_path(const std::optional<fs::path>& library) {
    if (library) platform::add_library_search_dir(*library);
}

void point_tcl_and_tk_to_library(const std::optional<fs::path>& library) {
    if (!library) return;
    for (auto [variable, sub] : {std::pair{"TCL_LIBRARY", "tcl"}, std::pair{"TK_LIBRARY", "tk"}}) {
        std::error_code ec;
        if (fs::is_directory(*library / sub, ec)) platform::set_env(variable, platform::utf8(*library / sub));
    }
}

}  // namespace product::buildmode
