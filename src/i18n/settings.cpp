#include "i18n/settings.hpp"

#include <exception>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "diag/errors.hpp"
#include "i18n/catalogue.hpp"
#include "platform/native.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

namespace i18n {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;  // keeps keys in first-insertion order

namespace detail {

fs::path path(const fs::path& data_dir) { return data_dir / FOLDER_NAME / FILE_NAME; }

// These two use JSON values, which stay private to this unit.

// Values nest no deeper than this in a settings file. Copying a JSON value and writing
// it out recurse as deep as it nests, so a file nested deeper (written by hand or by
// another program) would overflow the stack when the language is stored.
constexpr int MAX_DEPTH = 64;

// The whole content of the settings file as a JSON object; an empty object when the
// file cannot be read, is not well-formed UTF-8 JSON, holds something other than an
// object, or nests deeper than MAX_DEPTH. Never throws.
Json read_all(const fs::path& data_dir) {
    try {
        std::ifstream in(path(data_dir), std::ios::binary);
        if (!in) return Json::object();
        std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) return Json::object();
        // The file is written without a byte-order mark; the JSON parser would skip
        // one silently, so a file that starts with it is refused here.
        if (text.starts_with("\xEF\xBB\xBF")) return Json::object();
        // The parser also refuses ill-formed UTF-8. It reads without recursing; what
        // lies too deep is dropped as it is read.
        bool too_deep = false;
        Json data = Json::parse(
            text,
            [&too_deep](int depth, Json::parse_event_t, Json&) {
                if (depth > MAX_DEPTH) too_deep = true;
                return !too_deep;
            },
            /*allow_exceptions=*/false);
        if (too_deep || !data.is_object()) return Json::object();  // a list, a scalar, or a parse failure
        return data;
    } catch (const std::exception&) {
        return Json::object();
    }
}

// Replaces the whole settings file with `data`: folder created as needed, JSON with
// non-ASCII characters kept and an indentation of 2, written to the sibling ".tmp"
// and renamed over the file. Throws diag::RuntimeError; the file then keeps its
// earlier content.
void write_all(const fs::path& data_dir, const Json& data) {
    const fs::path file = path(data_dir);
    std::string text = data.dump(2, ' ', /*ensure_ascii=*/false);
    if (platform::WINDOWS) {
        // The platform's line ending; JSON strings escape their own line breaks, so
        // every raw line break here separates two lines of the file.
        std::string crlf;
        for (char c : text) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        text = std::move(crlf);
    }
    try {
        fs::create_directories(file.parent_path());
        platform::write_file_atomically(file, text);
    } catch (const fs::filesystem_error& e) {
        throw diag::file_error("file_write_failed", e, file);
    }
}

}  // namespace detail

std::optional<std::string> read_language(const fs::path& data_dir) {
    Json data = detail::read_all(data_dir);
    auto it = data.find("lang");
    if (it == data.end() || !it->is_string()) return std::nullopt;
    const auto& code = it->get_ref<const std::string&>();
    if (!is_language(code)) return std::nullopt;
    return code;
}

void write_language(const fs::path& data_dir, std::string_view lang) {
    // A fixed text for the caller, the same in every language.
    if (!is_language(lang)) throw diag::InvalidValue("неизвестный язык: " + std::string(lang));
    Json data = detail::read_all(data_dir);
    data["lang"] = std::string(lang);
    detail::write_all(data_dir, data);
}

std::string language_for_ui_id(std::optional<std::uint16_t> ui_language_id) noexcept {
    constexpr std::uint16_t PRIMARY_MASK = 0x3FF;  // the primary language: the low ten bits
    constexpr std::uint16_t LANG_KAZAKH = 0x3F;
    if (ui_language_id && (*ui_language_id & PRIMARY_MASK) == LANG_KAZAKH) return "kk";
    return "ru";
}

std::string system_language() {
    try {
        return language_for_ui_id(platform::ui_language_id());
    } catch (const std::exception&) {
        return "ru";
    }
}

std::string current_language(const fs::path& data_dir) {
    if (auto stored = read_language(data_dir)) return *stored;
    return system_language();
}

}  // namespace i18n
