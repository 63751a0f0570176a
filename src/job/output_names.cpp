#include "job/output_names.hpp"

#include <system_error>

#include "i18n/catalogue.hpp"
#include "pdf/geometry.hpp"
#include "platform/platform.hpp"

namespace job {

fs::path numbered(const fs::path& path, unsigned long long i) {
    fs::path candidate = path.parent_path() / path.stem();
    candidate += " (";
    candidate += std::to_string(i);
    candidate += ")";
    candidate += path.extension();
    return candidate;
}

bool taken(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

fs::path unique_path(const fs::path& path) {
    if (!taken(path)) return path;
    for (unsigned long long i = 1;; ++i)
        if (fs::path candidate = numbered(path, i); !taken(candidate)) return candidate;
}

fs::path make_output_path(const fs::path& zip_path, int nup, bool new_only, std::string_view app_title) {
    std::string base = platform::utf8(zip_path.stem());
    base += "_";
    base += app_title;
    if (new_only) base += "_NEW";
    base += "_MERGED";
    if (nup > 1) {
        base += "_";
        base += std::to_string(nup);
        base += "up";
    }
    base += ".pdf";
    return unique_path(zip_path.parent_path() / platform::path_from_utf8(base));
}

bool is_output_name(std::string_view name, std::string_view app_title) {
    std::string title_marker = "_";
    title_marker += app_title;
    return name.find(title_marker) != std::string_view::npos && name.find("_MERGED") != std::string_view::npos;
}

}  // namespace job
