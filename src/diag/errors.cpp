#include "diag/errors.hpp"

#include <cerrno>

#include "platform/platform.hpp"

namespace diag {

const char* advice_for(const std::error_code& ec) noexcept {
    const std::error_condition c = ec.default_error_condition();
    if (c == std::errc::no_space_on_device || c == std::errc::file_too_large) return "fs_disk_full";
#ifdef EDQUOT
    if (ec.value() == EDQUOT && (ec.category() == std::generic_category() || ec.category() == std::system_category()))
        return "fs_disk_full";
#endif
    if (c == std::errc::permission_denied || c == std::errc::operation_not_permitted) return "fs_no_access";
    if (c == std::errc::read_only_file_system) return "fs_read_only";
    if (c == std::errc::filename_too_long) return "fs_name_too_long";
    if (c == std::errc::no_such_file_or_directory) return "fs_not_found";
    // A file stands where a folder of the path should be.
    if (c == std::errc::not_a_directory) return "fs_not_a_folder";
    if (c == std::errc::device_or_resource_busy || c == std::errc::text_file_busy) return "fs_busy";
    return "fs_other";
}

RuntimeError file_error(std::string key, std::vector<std::pair<std::string, std::string>> values,
                        const std::error_code& ec, std::source_location where) {
    return RuntimeError(Text{std::move(key), std::move(values), advice_for(ec), ec.message()}, where);
}

RuntimeError file_error(std::string key, const std::filesystem::path& path, const std::error_code& ec,
                        std::source_location where) {
    return file_error(std::move(key), {{"path", platform::utf8(path)}}, ec, where);
}

RuntimeError file_error(std::string key, const std::filesystem::filesystem_error& e, const std::filesystem::path& path,
                        std::source_location where) {
    return file_error(std::move(key), path.empty() ? e.path1() : path, e.code(), where);
}

}  // namespace diag
