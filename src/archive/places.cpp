// Where members land on disk: names that fit the file system, folders made when a
// file first needs them.
#include "archive/places.hpp"

#include <algorithm>

#include "archive/reading.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"

namespace archive::detail {

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::string short_tag(std::string_view text) {
    const std::uint64_t h = fnv1a(text);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "~";
    for (int shift = 60; shift >= 32; shift -= 4) out += hex[(h >> shift) & 0xF];
    return out;
}

std::size_t native_length(std::string_view utf8) { return platform::native_length(platform::path_from_utf8(utf8)); }

std::string shortened_name(std::string_view name, std::size_t max_bytes) {
    std::string_view ext;
    if (auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0 && name.size() - dot <= 16)
        ext = name.substr(dot);
    const std::string tag = short_tag(name);
    const std::size_t room = max_bytes > tag.size() + ext.size() ? max_bytes - tag.size() - ext.size() : 0;
    std::size_t keep = std::min(room, name.size() - ext.size());
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    std::string out(name.substr(0, keep));
    out += tag;
    out += ext;
    return out;
}

namespace {

// Room for a shortened name: the limit, less what a numbered variant adds.
constexpr std::size_t NAME_ROOM = platform::MAX_NAME_LENGTH - 8;

std::string join(const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (!out.empty()) out += '/';
    out += name;
    return out;
}

std::string numbered(const std::string& rel, int n) {
    const std::size_t slash = rel.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = rel.rfind('.');
    if (dot == std::string::npos || dot <= name_start) dot = rel.size();
    std::string out = rel.substr(0, dot);
    out += '~';
    out += std::to_string(n);
    out += rel.substr(dot);
    return out;
}

}  // namespace

std::string DiskPlaces::i18n_fold(std::string_view text) { return i18n::fold_case(text); }

std::string DiskPlaces::fitted(std::string_view name) const {
    return native_length(name) > platform::MAX_NAME_LENGTH ? shortened_name(name, NAME_ROOM) : std::string(name);
}

bool DiskPlaces::too_long(const std::string& rel) const {
    return root_length_ + 1 + native_length(rel) > platform::MAX_PATH_LENGTH;
}

std::size_t DiskPlaces::folder(std::string_view rel) {
    std::size_t id = 0;
    for (std::size_t pos = 0; pos < rel.size();) {
        const std::size_t end = std::min(rel.find('/', pos), rel.size());
        const std::string_view prefix = rel.substr(0, end);
        const std::string_view name = rel.substr(pos, end - pos);
        pos = end + 1;
        const auto [it, added] = ids_.try_emplace(i18n::fold_case(prefix), tree_.size());
        if (added) {
            std::string disk = join(tree_[id].disk, fitted(name));
            if (too_long(disk)) disk = short_tag(prefix);  // out of the deep folders
            disk = name_folder(disk);
            tree_[id].children.push_back(tree_.size());
            tree_.push_back(Folder{std::move(disk)});
        }
        id = it->second;
    }
    return id;
}

std::string DiskPlaces::file(std::size_t id, std::string_view name) {
    std::string out = join(tree_[id].disk, fitted(name));
    if (too_long(out)) {
        // Out of the deep folders: one short folder at the top per folder of the archive.
        Folder& f = tree_[id];
        if (f.overflow.empty()) f.overflow = name_folder(short_tag(f.disk));
        const std::size_t used = root_length_ + f.overflow.size() + 2;
        const std::size_t room = platform::MAX_PATH_LENGTH > used ? platform::MAX_PATH_LENGTH - used : 1;
        out = join(f.overflow,
                   native_length(name) > room ? shortened_name(name, std::min(room, NAME_ROOM)) : fitted(name));
    }
    std::string candidate = out;
    for (int n = 2; file_at(candidate) || folder_at(candidate); ++n) candidate = numbered(out, n);
    files_.insert(fnv1a(i18n::fold_case(candidate)));
    return candidate;
}

std::string DiskPlaces::name_folder(const std::string& wanted) {
    std::string disk = wanted;
    for (int n = 2; file_at(disk); ++n) disk = wanted + "~" + std::to_string(n);
    return folders_.try_emplace(i18n::fold_case(disk), disk).first->second;
}

fs::path DiskPlaces::make_place(const std::string& rel, const std::string& member) {
    if (!root_) root_ = scratch_.make();
    // One folder at a time, never the scratch folder itself, so that nothing is written
    // once that has been taken away (a job told to stop).
    for (std::size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
        std::string folder = rel.substr(0, slash);
        if (made_.contains(folder)) continue;
        try {
            platform::create_folder(*root_ /
                                    platform::path_from_utf8(folder));  // any length; a link in the way refused
        } catch (const fs::filesystem_error& e) {
            fail_write(member, e.code());
        }
        made_.insert(std::move(folder));
    }
    return *root_ / platform::path_from_utf8(rel);
}

}  // namespace archive::detail
