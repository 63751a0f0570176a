// Where the members that go to files land in the scratch folder, and the archive's
// folders as a tree for the walk order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/intake.hpp"

namespace archive::detail {

namespace fs = std::filesystem;

// 64-bit FNV-1a of a text.
std::uint64_t fnv1a(std::string_view text);

// "~" and 8 hex digits of the text's FNV-1a: a short tag that keeps shortened names apart.
std::string short_tag(std::string_view text);

// Length of a UTF-8 text in the file system's units.
std::size_t native_length(std::string_view utf8);

// `name` cut to at most `max_bytes` UTF-8 bytes: its beginning, a tag made from the
// whole name (so two long names that begin alike stay apart) and its extension when
// that is short. Code points are never split.
std::string shortened_name(std::string_view name, std::size_t max_bytes);

// Where members land on disk, and the archive's folders as a tree for the walk order.
//
// A member's sanitised path is kept on disk when every name in it fits the file
// system; an over-long name is shortened, and a folder or a file whose whole path
// would be too long goes into a short folder at the top. Nothing takes the place of
// what was unpacked before it, as a case-blind file system sees names: a file never
// that of a file or a folder, a folder never that of a file (two members of one name;
// a member "d" and then "d/x.pdf"; a link member, written as a plain file, and a
// member below it). The later one gets "~2", "~3", ..., so every member is unpacked
// and no clash is taken for a fault of the disk. The archive's own names stay what
// the job works with; only the files on disk have these names.
//
// Every file of the archive is given a place, also one held in memory, so that the
// names on disk do not depend on what the memory budget holds; a folder is made on
// disk only when a file goes into it, so that a job whose files all stay in memory
// makes nothing. The tree's folders are the archive's, letter case aside (folder 0 is
// the top), each in the order the archive first names it. What is kept grows with folders, and with
// files by one number each.
class DiskPlaces {
public:
    struct Folder {
        std::string disk;                     // on-disk relative path ("/"-separated; "" at the top)
        std::string overflow{};               // the top folder its too long file paths go to, once named
        std::vector<std::size_t> files{};     // the caller's, in archive order
        std::vector<std::size_t> children{};  // indices into the tree
    };

    // Names are fitted to a scratch folder whose path takes `scratch.length`; the folder
    // itself is made (scratch.make) when the first file goes there. Keeps a reference.
    explicit DiskPlaces(const ScratchPlace& scratch) : scratch_(scratch), root_length_(scratch.length) {}

    // The tree's folder for a sanitised folder path of the archive ("" for the top),
    // named on disk with the folders above it, each once; nothing is made yet.
    std::size_t folder(std::string_view rel);

    // The relative on-disk path (UTF-8, "/"-separated) for a file named `name` (a
    // sanitised component) in the tree's folder `id`; never one given before.
    std::string file(std::size_t id, std::string_view name);

    // The absolute path for a file at `rel` (as file() gave it), with the scratch folder
    // and the folders above the file made, each once. `member` names the member for a
    // failure to make one (zip_member_write_failed). Throws also what scratch.make throws.
    fs::path make_place(const std::string& rel, const std::string& member);

    Folder& operator[](std::size_t id) { return tree_[id]; }
    std::vector<Folder> take_tree() { return std::move(tree_); }

private:
    std::string fitted(std::string_view name) const;
    bool too_long(const std::string& rel) const;
    // A file was placed at `rel`, letter case aside (its number may also belong to
    // another path: that one then gets a numbered name it did not need, which is harmless).
    bool file_at(const std::string& rel) const { return files_.contains(fnv1a(i18n_fold(rel))); }
    bool folder_at(const std::string& rel) const { return folders_.contains(i18n_fold(rel)); }
    // Names the folder `wanted`, or a numbered one where a file lies, unless it was
    // named already (two folders of the archive may share one on disk: their files
    // never clash); returns its on-disk path as first named.
    std::string name_folder(const std::string& wanted);
    static std::string i18n_fold(std::string_view text);

    const ScratchPlace& scratch_;
    std::size_t root_length_;
    std::optional<fs::path> root_{};
    std::vector<Folder> tree_{Folder{}};
    std::unordered_map<std::string, std::size_t> ids_;      // case-folded archive folder path -> tree
    std::unordered_map<std::string, std::string> folders_;  // case-folded on-disk folder -> as named
    std::unordered_set<std::string> made_;                  // on-disk folders made, as named
    std::unordered_set<std::uint64_t> files_;               // FNV-1a of case-folded on-disk file paths
};

}  // namespace archive::detail
