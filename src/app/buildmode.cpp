#include "app/buildmode.hpp"

#include "app/profile.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"

namespace app::buildmode {

namespace {

fs::path& pretended() {
    static fs::path exe;
    return exe;
}

fs::path executable() { return pretended().empty() ? platform::executable_path() : pretended(); }

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

namespace detail {
void pretend_executable(const fs::path& exe) { pretended() = exe; }
}  // namespace detail

bool is_bundled() {
    std::error_code ec;
    fs::path tree = fs::weakly_canonical(fs::path(MERGALO_BUILD_TREE), ec);
    return !lies_inside(executable(), ec ? fs::path(MERGALO_BUILD_TREE) : tree);
}

fs::path program_dir() { return is_bundled() ? executable().parent_path() : profile::root(); }

std::optional<fs::path> library_dir() {
    if (!is_bundled()) return std::nullopt;
    fs::path lib = executable().parent_path() / LIB_FOLDER;
    std::error_code ec;
    if (fs::is_directory(lib, ec)) return lib;
    return std::nullopt;
}

fs::path bundle_dir() {
    if (!is_bundled()) return profile::root();
    if (auto lib = library_dir()) return *lib;
    return executable().parent_path();
}

bool installed_system_wide() {
    const auto lib = library_dir();
    std::error_code ec;
    return lib && fs::is_regular_file(*lib / SYSTEM_INSTALL_MARKER, ec);
}

fs::path home_dir() {
    if (installed_system_wide()) {
        const fs::path home = platform::local_app_data_dir() / profile::code();
        std::error_code ec;  // a folder that cannot be made fails the first write there, by name
        fs::create_directories(home, ec);
        return home;
    }
    if (auto user = profile::user_folder(); user && !user->empty()) {
        if (!is_bundled()) return profile::root() / "data";
        fs::path base;
        if (auto v = non_empty_env("LOCALAPPDATA")) base = platform::path_from_utf8(*v);
        else if (auto w = non_empty_env("APPDATA")) base = platform::path_from_utf8(*w);
        else base = platform::local_app_data_dir();
        return base / *user;
    }
    fs::path bundle = bundle_dir();
    if (i18n::fold_case(platform::utf8(bundle.filename())) == i18n::fold_case(LIB_FOLDER))
        return bundle.parent_path();
    return bundle;
}

std::optional<fs::path> add_library_folder_to_path() {
    auto lib = library_dir();
    if (lib) platform::add_library_search_dir(*lib);
    return lib;
}

std::optional<fs::path> point_tcl_and_tk_to_library() {
    auto lib = library_dir();
    if (!lib) return std::nullopt;
    for (auto [variable, sub] : {std::pair{"TCL_LIBRARY", "tcl"}, std::pair{"TK_LIBRARY", "tk"}}) {
        std::error_code ec;
        if (fs::is_directory(*lib / sub, ec)) platform::set_env(variable, platform::utf8(*lib / sub));
    }
    return lib;
}

}  // namespace app::buildmode
