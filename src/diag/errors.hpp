// The program's failures. Each carries the message text the user sees and the place
// in the source where it was raised, which the error log prints under "Traceback:".
//
// Units below the app layer (archive, pdf, history, platform) do not know the user's
// language: they raise an error with a catalogue message (diag::Text: a text key and
// its values), and the app layer puts it into the user's language once
// (i18n::rethrow_in_language). Until then what() gives a plain rendering for developers.
#pragma once

#include <filesystem>
#include <memory>
#include <source_location>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace diag {

// A message of the text catalogue, not yet in a language.
struct Text {
    std::string key;  // catalogue key of the main sentence
    // Values of its placeholders, UTF-8 ({"name", "Заказ 1.pdf"}, {"path", "/home/..."}).
    std::vector<std::pair<std::string, std::string>> values{};
    // Catalogue key of a second sentence, or empty: the cause in plain words and what
    // to do about it (a full disk, no access, ...). It takes the same values.
    std::string advice{};
    // The library's or the system's own words about the failure, shown after ours, or empty.
    std::string detail{};
};

class Error : public std::runtime_error {
public:
    // `message` is already the text the user sees.
    explicit Error(const std::string& message, std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    // A catalogue message; what() gives "key: name=value, ... (advice) [detail]" until the
    // app layer renders it in the user's language.
    explicit Error(Text text, std::source_location where = std::source_location::current())
        : std::runtime_error(plain(text)), where_(where), text_(std::make_shared<const Text>(std::move(text))) {}

    // The same catalogue message with `message` as its text in a language.
    Error(const std::string& message, std::shared_ptr<const Text> text, std::source_location where)
        : std::runtime_error(message), where_(where), text_(std::move(text)) {}

    const std::source_location& where() const noexcept { return where_; }

    // The catalogue message this error carries, or null for an error raised with a
    // finished text. Does not throw.
    const Text* text() const noexcept { return text_.get(); }
    const std::shared_ptr<const Text>& shared_text() const noexcept { return text_; }

private:
    static std::string plain(const Text& text);

    std::source_location where_;
    std::shared_ptr<const Text> text_;  // shared: copying an exception must not throw
};

inline std::string Error::plain(const Text& text) {
    std::string out = text.key;
    const char* sep = ": ";
    for (const auto& [name, value] : text.values) {
        out += sep;
        out += name;
        out += '=';
        out += value;
        sep = ", ";
    }
    if (!text.advice.empty()) {
        out += " (";
        out += text.advice;
        out += ')';
    }
    if (!text.detail.empty()) {
        out += " [";
        out += text.detail;
        out += ']';
    }
    return out;
}

// Something the user named does not exist (an archive path, a file).
class FileNotFound : public Error {
public:
    using Error::Error;
};

// A value the user or a caller gave is not acceptable (a wrong extension, an unknown code).
class InvalidValue : public Error {
public:
    using Error::Error;
};

// Any other failure at run time: a damaged archive, a PDF that cannot be read, a
// file that cannot be written.
class RuntimeError : public Error {
public:
    using Error::Error;
};

// The catalogue key of the sentence that explains a file-system error code in plain
// words and says what to do: "fs_disk_full", "fs_no_access", "fs_read_only",
// "fs_name_too_long", "fs_not_found", "fs_not_a_folder", "fs_busy", or "fs_other". Does not throw.
const char* advice_for(const std::error_code& ec) noexcept;

// The one way a failed file operation becomes the program's error: the catalogue text
// `key` (its placeholder {path} gets `path`, as UTF-8), the advice for the error code,
// and the system's own words as the detail. Throws nothing itself (except
// std::bad_alloc); the caller throws the result.
RuntimeError file_error(std::string key, const std::filesystem::path& path, const std::error_code& ec,
                        std::source_location where = std::source_location::current());

// The same with other placeholder values than {path} (a member's {name}, say).
RuntimeError file_error(std::string key, std::vector<std::pair<std::string, std::string>> values,
                        const std::error_code& ec, std::source_location where = std::source_location::current());

// The same for a std::filesystem error: its path1() (or `path` when given) and its code.
RuntimeError file_error(std::string key, const std::filesystem::filesystem_error& e,
                        const std::filesystem::path& path = {},
                        std::source_location where = std::source_location::current());

}  // namespace diag
