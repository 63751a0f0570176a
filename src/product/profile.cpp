#include "app/profile.hpp"

#include "app/buildmode.hpp"

namespace app::profile {

namespace {

std::optional<ProductProfile>& bound() {
    static std::optional<ProductProfile> product;
    return product;
}

const ProductProfile& product() {
    if (!bound()) throw ProfileNotBound("продукт не объявил себя: нужен profile.bind(product) при старте");
    return *bound();
}

}  // namespace

void bind(const ProductProfile& p) {
    const bool defined[] = {p.CODE.has_value(),       p.TITLE.has_value(),
                            p.APP_VERSION.has_value(), p.LIB_FOLDER.has_value(),
                            p.ROOT.has_value(),        p.ICON_NAME.has_value()};
    std::string missing;
    for (size_t i = 0; i < REQUIRED_FIELDS.size(); ++i) {
        if (defined[i]) continue;
        if (!missing.empty()) missing += ", ";
        missing += REQUIRED_FIELDS[i];
    }
    if (!missing.empty()) throw ProfileIncomplete("в профиле продукта нет полей: " + missing);
    bound() = p;
    buildmode::APP_VERSION = *p.APP_VERSION;
    buildmode::LIB_FOLDER = *p.LIB_FOLDER;
}

bool is_bound() { return bound().has_value(); }

std::string code() { return *product().CODE; }
std::string title() { return *product().TITLE; }
std::string exe_name() {
    const auto& p = product();
    return p.EXE_NAME && !p.EXE_NAME->empty() ? *p.EXE_NAME : *p.TITLE;
}
std::string app_version() { return *product().APP_VERSION; }
std::string lib_folder() { return *product().LIB_FOLDER; }
std::filesystem::path root() { return *product().ROOT; }
std::string icon_name() { return *product().ICON_NAME; }
std::optional<std::string> user_folder() { return product().USER_FOLDER; }

}  // namespace app::profile
