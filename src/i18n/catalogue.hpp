// The text catalogue: every text the user sees, in Russian and in Kazakh, under a
// fixed key. The tables are constant data compiled into the program; the catalogue
// has no state and reads no files. All strings are UTF-8.
#pragma once

#include <array>
#include <concepts>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace i18n {

// The supported language codes; Russian comes first and is the fallback language.
inline constexpr std::array<std::string_view, 2> LANGUAGES{"ru", "kk"};

// True when `code` is one of LANGUAGES.
bool is_language(std::string_view code) noexcept;

// A language table: text key -> text template. Templates may hold named placeholders
// such as "{count}" and no other braces. The views point at static data.
using Table = std::map<std::string_view, std::string_view>;

// The Russian and the Kazakh table; both hold the same keys. Never throw.
const Table& RU();
const Table& KK();

// Language code -> table: "ru" -> RU(), "kk" -> KK().
const std::map<std::string_view, const Table*>& TEXTS();

// One value for a placeholder, kept in its string form: text as it is, integers in
// decimal, paths as UTF-8.
class Value {
public:
    Value(std::string text) : text_(std::move(text)) {}
    Value(std::string_view text) : text_(text) {}
    Value(const char* text) : text_(text) {}
    Value(const std::filesystem::path& p);
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T number) : text_(std::to_string(number)) {}

    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// A placeholder name and its value, as in {"count", 12}.
using Arg = std::pair<std::string_view, Value>;

// The template for `key` in language `lang`, unchanged (placeholders and braces
// included). An unknown or empty `lang` gives the Russian text.
// Throws diag::RuntimeError naming the key when the key is not in the catalogue.
std::string t(std::string_view key, std::string_view lang);

// The text for `key` in `lang` with each "{name}" replaced by the value given under
// that name; values the template does not name are ignored. An empty list of values
// gives the template unchanged. Throws diag::RuntimeError naming the key when the key
// is not in the catalogue, or naming the placeholder when values were given but none
// for a placeholder of the template.
std::string t(std::string_view key, std::string_view lang, std::initializer_list<Arg> values);

// The same with the values as text pairs (name, value), as diag::Text carries them.
std::string t(std::string_view key, std::string_view lang,
              const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace i18n
