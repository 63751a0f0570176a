// The error log: "error.log" in the logs folder beside the executable, UTF-8, every
// line break stored as CR LF on every platform, held below LOG_MAX_BYTES by cutting off
// its oldest entries. The program tells the log its folder and its name; nothing here
// knows the program's folders.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace diag {

// Size limit of the log file, bytes.
inline constexpr std::uintmax_t LOG_MAX_BYTES = 300 * 1024;

// When the file is larger than `max_bytes`, keeps its last `max_bytes` bytes and, when
// an entry header ("\n===== ERROR ") starts after their first byte, only what follows
// that line feed. Rewrites the file through a sibling ".tmp". Never throws: a failure
// leaves the file as it is.
void trim_log_file(const std::filesystem::path& path, std::uintmax_t max_bytes = LOG_MAX_BYTES) noexcept;

// The text of one entry (line feeds still "\n"): an empty line, "===== ERROR <local
// time %Y-%m-%d %H:%M:%S> =====", "App: <title> <version>", "Title: <title>", then
// "Extra:" and `extra` when it is not empty, then "Exception:", the message,
// "Traceback:" and where the failure was raised when `exc` is given, then
// "===== END ERROR =====" and a line break. A diag::Error names its source location;
// other exceptions get a line saying that no location is known.
std::string format_error_entry(std::string_view title, const std::exception* exc, std::string_view extra,
                               std::string_view timestamp, std::string_view app);

// The titles of the entries the program writes on its own (not those of the error
// dialog, which carry the dialog's title): fixed Russian texts whatever the user's
// language, so that every log reads alike to support.
namespace log_titles {
inline constexpr std::string_view MENU_INSTALL_FAILED = "Не удалось поставить пункт меню правой кнопки";
inline constexpr std::string_view MENU_UNINSTALL_FAILED = "Не удалось убрать пункт меню правой кнопки";
inline constexpr std::string_view MENU_RELABEL_FAILED = "Не удалось обновить язык меню правой кнопки";
inline constexpr std::string_view FOLDER_NOT_REMOVED = "Не удалось убрать папку ";  // the folder's path follows
inline constexpr std::string_view DATA_NOT_REMOVED = "Не удалось убрать личные данные при удалении";
inline constexpr std::string_view LANGUAGE_NOT_SAVED = "Не удалось сохранить язык";
inline constexpr std::string_view WAYBILLS_REPAIRED = "Объединение: восстановлены повреждённые накладные";
}  // namespace log_titles

// The error log of one program: its folder and the "App:" line of its entries.
struct ErrorLog {
    std::filesystem::path folder;  // the logs folder; made (with parents) on each write
    std::string app;               // the program's title and version

    // folder / "error.log"; creates the folder (with parents). Throws
    // std::filesystem::filesystem_error when the folder cannot be made.
    std::filesystem::path path() const;

    // Appends one entry (CR LF line breaks) to the log in a single write, then trims the
    // log to LOG_MAX_BYTES, and returns its path. Throws diag::RuntimeError with the
    // catalogue message `log_write_failed` (the log file's path, the reason in plain
    // words as its advice, the system's words as its detail) when the logs folder
    // cannot be made or the log cannot be written.
    std::filesystem::path write(std::string_view title, const std::exception* exc = nullptr,
                                std::string_view extra = {}) const;

    // write, for an entry that must not change what happens next: a log that cannot be
    // written is passed over. True when the entry was written. Never throws.
    bool write_quietly(std::string_view title, const std::exception* exc = nullptr,
                       std::string_view extra = {}) const noexcept;
};

}  // namespace diag
