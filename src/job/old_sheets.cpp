#include "job/old_sheets.hpp"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "i18n/catalogue.hpp"
#include "i18n/unicode.hpp"
#include "job/output_names.hpp"
#include "platform/platform.hpp"

namespace job {

namespace {

namespace fs = std::filesystem;
namespace chr = std::chrono;

// A regular ".pdf" file (any letter case) whose name without it is one of ours.
bool is_output_sheet_name(const fs::path& file, std::string_view app_title) {
    std::string ext = platform::utf8(file.extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".pdf" && is_output_name(platform::utf8(file.stem()), app_title);
}

std::optional<history::LocalTime> modified_local(const fs::path& file) {
    std::error_code ec;
    const fs::file_time_type t = fs::last_write_time(file, ec);
    if (ec) return std::nullopt;
    return history::detail::utc_to_local(chr::floor<chr::microseconds>(chr::file_clock::to_sys(t)));
}

}  // namespace

std::vector<fs::path> old_sheets(const fs::path& folder, std::string_view app_title, history::LocalTime now) {
    const history::LocalTime edge = now - chr::days{OLD_SHEET_DAYS};
    std::vector<std::pair<std::string, fs::path>> found;  // folded name, path
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& file = it->path();
        std::error_code type_ec;
        if (!it->is_regular_file(type_ec) || type_ec) continue;
        if (!is_output_sheet_name(file.filename(), app_title)) continue;
        const auto modified = modified_local(file);
        if (modified && *modified < edge) found.emplace_back(i18n::fold_case(platform::utf8(file.filename())), file);
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> paths;
    paths.reserve(found.size());
    for (auto& [key, path] : found) paths.push_back(std::move(path));
    return paths;
}

std::string describe_old_sheets(const std::vector<fs::path>& paths, std::string_view lang, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < paths.size() && i < limit; ++i) {
        if (i > 0) text += '\n';
        text += platform::utf8(paths[i].filename());
    }
    if (paths.size() > limit) {
        if (!text.empty()) text += '\n';
        text += i18n::t("old_sheets_and_more", lang, {{"count", paths.size() - limit}});
    }
    return text;
}

}  // namespace job
