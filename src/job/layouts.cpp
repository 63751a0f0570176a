#include "job/layouts.hpp"

#include "i18n/catalogue.hpp"

namespace job {

std::string mode_name(int nup, std::string_view lang) {
    if (!is_supported_layout(nup)) nup = 1;
    return i18n::t("mode_" + std::to_string(nup) + "up", lang);
}

}  // namespace job
