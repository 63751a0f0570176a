// The parts of claims.hpp that are the same on every platform; the system calls are
// in posix.cpp and win32.cpp.
#include "platform/claims.hpp"

#include <system_error>

namespace platform {

namespace detail {
// Deletes the file unless a process claims it; true when deleted. Never throws.
bool delete_if_unclaimed(const fs::path& path) noexcept;
}  // namespace detail

namespace {

bool older_than(const fs::path& path, std::chrono::seconds age) {
    std::error_code ec;
    const auto changed = fs::last_write_time(path, ec);
    if (ec) return false;
    return fs::file_time_type::clock::now() - changed >= age;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string name_of(const fs::path& p) {
    const std::u8string s = p.filename().u8string();
    return std::string(s.begin(), s.end());
}

}  // namespace

FileClaim& FileClaim::operator=(FileClaim&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

bool remove_if_unclaimed(const fs::path& path, std::chrono::seconds min_age) {
    if (min_age.count() > 0 && !older_than(path, min_age)) return false;
    return detail::delete_if_unclaimed(path);
}

int remove_dead_temp_files(const fs::path& folder, const std::function<bool(std::string_view name)>& wanted) {
    int removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = name_of(it->path());
        if (!starts_with(name, ".") || !ends_with(name, ".tmp") || !wanted(name)) continue;
        std::error_code type_ec;
        if (!it->is_regular_file(type_ec)) continue;
        if (remove_if_unclaimed(it->path())) ++removed;
    }
    return removed;
}

int remove_dead_private_dirs(const fs::path& parent, const std::string& prefix) {
    int removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string name = name_of(path);
        if (!starts_with(name, prefix)) continue;
        std::error_code type_ec;
        const fs::file_status st = it->symlink_status(type_ec);
        if (st.type() == fs::file_type::directory) {
            fs::path lock = path;
            lock += ".lock";
            std::error_code lock_ec;
            const bool has_lock = fs::exists(fs::symlink_status(lock, lock_ec));
            // The lock is claimed before its folder is made, so a folder beside an
            // unclaimed lock belongs to a dead process.
            const bool dead = has_lock ? remove_if_unclaimed(lock, std::chrono::seconds{0})
                                       : older_than(path, std::chrono::hours{24});
            if (!dead) continue;
            std::error_code rm_ec;
            fs::remove_all(path, rm_ec);
            if (!rm_ec) ++removed;
        } else if (st.type() == fs::file_type::regular && ends_with(name, ".lock")) {
            fs::path folder = path;
            folder.replace_extension();
            std::error_code folder_ec;
            if (!fs::exists(fs::symlink_status(folder, folder_ec))) remove_if_unclaimed(path);
        }
    }
    return removed;
}

}  // namespace platform
