#include "product/context.hpp"

#include <system_error>
#include <vector>

#include "history/store.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"
#include "product/buildmode.hpp"
#include "product/profile.hpp"

namespace product {

std::string Context::language() const {
    try {
        return i18n::current_language(data_dir);
    } catch (const std::exception&) {
        return i18n::system_language();  // the settings cannot be read: no stored choice
    }
}

fs::path Context::help_file() const {
    const std::string lang = language();
    const fs::path folder = bundle_dir / "help";
    std::vector<std::string> names;
    if (lang != "ru") names.push_back("Instruction_" + lang + ".html");
    names.emplace_back("Instruction.html");
    for (const auto& name : names) {
        std::error_code ec;
        if (fs::exists(folder / name, ec)) return folder / name;
    }
    return folder / "Instruction.html";
}

fs::path Context::icon_file() const { return bundle_dir / "assets" / icon_name; }

job::JobEnvironment Context::job_environment() const { return {history_dir, data_dir, temp_root, title}; }

Context make_context(const ProductProfile& product, const fs::path& exe) {
    check_profile(product);
    Context c;
    c.code = *product.CODE;
    c.title = *product.TITLE;
    c.exe_name = exe_name(product);
    c.version = *product.APP_VERSION;
    c.icon_name = *product.ICON_NAME;
    c.bundled = buildmode::is_bundled(exe);
    c.system_wide = buildmode::installed_system_wide(product, exe);
    c.program_dir = buildmode::program_dir(product, exe);
    c.bundle_dir = buildmode::bundle_dir(product, exe);
    c.library_dir = buildmode::library_dir(product, exe);
    const buildmode::Home home = buildmode::locate_home(product, exe);
    c.history_dir = home.dir;
    std::error_code ec;
    c.tell_history_place = home.moved && !fs::exists(history::history_csv_path(home.dir), ec);
    c.data_dir = platform::local_app_data_dir() / APP_ID;
    c.temp_root = platform::temp_dir();
    c.log = {c.history_dir / "logs", c.title + " " + c.version};
    return c;
}

}  // namespace product
