// Fuzz target: the settings file's reader and the rewrite that stores the language.
// Any bytes in settings.json: the language read is a supported one or none, nothing
// crashes. Storing a language then reads back as stored, and a file that was a JSON
// object keeps every other key, with its value and in its place.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "i18n/catalogue.hpp"
#include "i18n/settings.hpp"
#include "platform/platform.hpp"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// A private folder for the settings file, on a memory file system where there is one:
// every input is written and rewritten with its flushes to disk.
class Folder {
public:
    Folder() {
        std::error_code ec;
        const fs::path shm = "/dev/shm";
        path_ = platform::make_private_dir(fs::is_directory(shm, ec) ? shm : platform::temp_dir(), "settings_fuzz_");
        fs::create_directories(i18n::detail::path(path_).parent_path());
    }
    ~Folder() { platform::remove_tree(path_); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Folder folder;
    const fs::path file = i18n::detail::path(folder.path());
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) __builtin_trap();
    }

    const std::optional<std::string> read = i18n::read_language(folder.path());
    if (read && !i18n::is_language(*read)) __builtin_trap();

    // What the file holds, told by the JSON library alone: an object keeps its keys; a
    // file written with a byte-order mark, or nested deeper than 64 levels, counts as none.
    int depth = 0;
    Json expected = Json::parse(
        text,
        [&depth](int d, Json::parse_event_t, Json&) {
            depth = std::max(depth, d);
            return depth <= 64;
        },
        /*allow_exceptions=*/false);
    if (text.starts_with("\xEF\xBB\xBF") || depth > 64 || !expected.is_object()) expected = Json::object();

    const std::string stored = read == "kk" ? "ru" : "kk";
    i18n::write_language(folder.path(), stored);
    if (i18n::read_language(folder.path()) != stored) __builtin_trap();
    expected["lang"] = stored;
    if (Json::parse(read_file(file), nullptr, false) != expected) __builtin_trap();
    return 0;
}
