#include "i18n/messages.hpp"

#include "i18n/catalogue.hpp"

namespace i18n {

namespace {

// Byte offsets of the code points of a UTF-8 text (an ill-formed byte is one code
// point of its own), with the text's length at the end.
std::vector<std::size_t> code_point_starts(std::string_view s) {
    std::vector<std::size_t> starts;
    std::size_t i = 0;
    while (i < s.size()) {
        starts.push_back(i);
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t len = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 1;
        if (i + len > s.size()) len = 1;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) len = 1;
        i += len;
    }
    starts.push_back(s.size());
    return starts;
}

}  // namespace

std::string shorten_middle(std::string_view text, std::size_t max_chars) {
    const std::vector<std::size_t> starts = code_point_starts(text);
    const std::size_t count = starts.size() - 1;
    if (count <= max_chars || max_chars < 3) return std::string(text);
    const std::size_t tail = (max_chars - 1) / 2;
    const std::size_t head = max_chars - 1 - tail;
    std::string out(text.substr(0, starts[head]));
    out += "…";
    out += text.substr(starts[count - tail]);
    return out;
}

std::string render(const diag::Text& text, std::string_view lang) {
    std::vector<std::pair<std::string, std::string>> values;
    values.reserve(text.values.size());
    for (const auto& [name, value] : text.values) {
        // A value of several lines (a list of names) is cut line by line.
        std::string lines;
        for (std::size_t start = 0;;) {
            const std::size_t end = value.find('\n', start);
            lines += shorten_middle(std::string_view(value).substr(start, end - start));
            if (end == std::string::npos) break;
            lines += '\n';
            start = end + 1;
        }
        values.emplace_back(name, std::move(lines));
    }
    std::string out = t(text.key, lang, values);
    if (!text.advice.empty()) {
        out += '\n';
        out += t(text.advice, lang, values);
    }
    if (!text.detail.empty()) {
        out += "\n\n";
        out += t("error_detail", lang, {{"detail", text.detail}});
    }
    return out;
}

std::string message(const std::exception& e, std::string_view lang) {
    const auto* error = dynamic_cast<const diag::Error*>(&e);
    if (error != nullptr && error->text() != nullptr) {
        try {
            return render(*error->text(), lang);
        } catch (const diag::Error&) {
            // A message the catalogue cannot render is a programming error; the plain
            // rendering still says what failed.
        }
    }
    if (error != nullptr) return e.what();
    // A library's or the system's own words (libstdc++'s "filesystem error: ...", a
    // std::runtime_error from below) are not a message for the user: ours comes
    // first, theirs follows as the detail.
    try {
        return render(diag::Text{"error_unexpected", {}, {}, e.what()}, lang);
    } catch (const diag::Error&) {
        return e.what();
    }
}

void rethrow_in_language(const diag::Error& e, std::string_view lang) {
    if (e.text() == nullptr) throw;
    const std::string text = message(e, lang);
    if (dynamic_cast<const diag::FileNotFound*>(&e)) throw diag::FileNotFound(text, e.shared_text(), e.where());
    if (dynamic_cast<const diag::InvalidValue*>(&e)) throw diag::InvalidValue(text, e.shared_text(), e.where());
    if (dynamic_cast<const diag::RuntimeError*>(&e)) throw diag::RuntimeError(text, e.shared_text(), e.where());
    throw diag::Error(text, e.shared_text(), e.where());
}

}  // namespace i18n
