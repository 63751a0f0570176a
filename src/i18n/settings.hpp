// The settings store: the user's interface language kept in a small JSON file, and the
// rule that gives the current language. No state of its own: every read opens the file
// afresh and every write rewrites it whole (sibling ".tmp", then rename). The file
// functions take the base folder first; the program passes the per-user data folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace i18n {

// The settings file is <base folder>/FOLDER_NAME/FILE_NAME.
inline constexpr std::string_view FOLDER_NAME = "data";
inline constexpr std::string_view FILE_NAME = "settings.json";

// The stored language code ("ru" or "kk"), or no value when the file is missing,
// unreadable, not a JSON object (also one nested more than 64 levels deep, which no
// settings file of ours is), or holds no supported code under "lang". Never throws.
std::optional<std::string> read_language(const std::filesystem::path& app_dir);

// Stores `lang` under "lang", keeping every other key of the file in its order (of a
// file read_language takes for a JSON object; any other file is replaced).
// Throws diag::InvalidValue ("неизвестный язык: " and the code) for a code outside LANGUAGES,
// before touching the file; diag::RuntimeError (catalogue message "file_write_failed"
// naming the settings file) when the folder or file cannot be written, in which case
// the settings file keeps its earlier content.
void write_language(const std::filesystem::path& app_dir, std::string_view lang);

// The language for a Windows user-interface language identifier: "kk" when its primary
// language (the low ten bits) is Kazakh (0x3F), otherwise "ru"; no identifier gives "ru".
std::string language_for_ui_id(std::optional<std::uint16_t> ui_language_id) noexcept;

// The language of the user's interface, "ru" or "kk" (platform::ui_language_id through
// language_for_ui_id). Never throws.
std::string system_language();

// The language to use now: the code stored under `data_dir` (the per-user data folder)
// if any, else system_language(). Reads the file again at every call. Never throws.
std::string current_language(const std::filesystem::path& data_dir);

namespace detail {

// Path of the settings file under a base folder.
std::filesystem::path path(const std::filesystem::path& app_dir);

}  // namespace detail

}  // namespace i18n
