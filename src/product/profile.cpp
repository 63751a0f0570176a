#include "product/profile.hpp"

namespace product {

void check_profile(const ProductProfile& p) {
    const bool defined[] = {p.CODE.has_value(),       p.TITLE.has_value(), p.APP_VERSION.has_value(),
                            p.LIB_FOLDER.has_value(), p.ROOT.has_value(),  p.ICON_NAME.has_value()};
    std::string missing;
    for (size_t i = 0; i < REQUIRED_FIELDS.size(); ++i) {
        if (defined[i]) continue;
        if (!missing.empty()) missing += ", ";
        missing += REQUIRED_FIELDS[i];
    }
    if (!missing.empty()) throw ProfileIncomplete("в профиле продукта нет полей: " + missing);
}

std::string exe_name(const ProductProfile& p) { return p.EXE_NAME && !p.EXE_NAME->empty() ? *p.EXE_NAME : *p.TITLE; }

}  // namespace product
