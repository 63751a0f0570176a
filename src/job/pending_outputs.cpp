#include "job/pending_outputs.hpp"

#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "history/dates.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

namespace job {

namespace {

// The note is UTF-8 text, one "name=value" line each: the first line names the
// format, then "recorded_at", every "key", and an output as a "hidden" line followed by
// its "visible" line. A file name may hold any character but "/" here, a line break
// included, so values escape "\" and line breaks.
constexpr std::string_view FIRST_LINE = "Mergalo pending outputs 1";

std::string escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> unescaped(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) return std::nullopt;
        if (s[i] == '\\')
            out += '\\';
        else if (s[i] == 'n')
            out += '\n';
        else if (s[i] == 'r')
            out += '\r';
        else
            return std::nullopt;
    }
    return out;
}

std::optional<PendingOutputs> parse(const std::string& text) {
    PendingOutputs pending;
    bool have_time = false;
    bool first = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) return std::nullopt;  // every line ends in a line break
        const std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (first) {
            if (line != FIRST_LINE) return std::nullopt;
            first = false;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        const std::string_view name = line.substr(0, eq);
        const std::optional<std::string> value = unescaped(line.substr(eq + 1));
        if (!value) return std::nullopt;
        if (name == "recorded_at") {
            const auto t = history::parse_history_datetime(*value);
            if (!t) return std::nullopt;
            pending.recorded_at = *t;
            have_time = true;
        } else if (name == "key") {
            pending.keys.push_back(*value);
        } else if (name == "hidden") {
            pending.outputs.push_back({platform::path_from_utf8(*value), {}});
        } else if (name == "visible") {
            if (pending.outputs.empty() || !pending.outputs.back().visible.empty()) return std::nullopt;
            pending.outputs.back().visible = platform::path_from_utf8(*value);
        } else {
            return std::nullopt;
        }
    }
    if (first || !have_time || pending.keys.empty()) return std::nullopt;
    for (const PendingOutput& o : pending.outputs)
        if (o.hidden.empty() || o.visible.empty()) return std::nullopt;
    return pending;
}

}  // namespace

std::vector<fs::path> pending_output_notes(const fs::path& history_dir) {
    std::vector<fs::path> notes;
    std::error_code ec;
    for (fs::directory_iterator it(history_dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = platform::utf8(it->path().filename());
        if (name.starts_with("waybill_history.") && name.ends_with(".pending")) notes.push_back(it->path());
    }
    return notes;
}

fs::path free_note_path(const fs::path& history_dir) {
    fs::path note = history_dir / "waybill_history.pending";
    for (int n = 2;; ++n) {
        std::error_code ec;
        if (fs::symlink_status(note, ec).type() == fs::file_type::not_found) return note;
        note = history_dir / ("waybill_history." + std::to_string(n) + ".pending");
    }
}

void write_pending_outputs(const fs::path& note, const PendingOutputs& pending, platform::Renamer& renamer) {
    std::string text(FIRST_LINE);
    text += "\nrecorded_at=";
    text += history::format_history_datetime(pending.recorded_at);
    text += '\n';
    for (const std::string& key : pending.keys) text.append("key=").append(escaped(key)).append("\n");
    for (const PendingOutput& o : pending.outputs) {
        text.append("hidden=").append(escaped(platform::utf8(o.hidden))).append("\n");
        text.append("visible=").append(escaped(platform::utf8(o.visible))).append("\n");
    }
    platform::write_file_atomically(note, text, renamer);  // flushed to disk before the rename
}

std::optional<PendingOutputs> read_pending_outputs(const fs::path& note) {
    std::error_code ec;
    if (fs::symlink_status(note, ec).type() == fs::file_type::not_found) return std::nullopt;
    std::ifstream in(platform::extended_length_path(note), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::optional<PendingOutputs> pending;
    if (in.good() || in.eof()) pending = parse(text);
    if (!pending) remove_pending_outputs(note);
    return pending;
}

bool remove_pending_outputs(const fs::path& note) noexcept {
    std::error_code ec;
    fs::remove(note, ec);
    return !ec;
}

bool pending_outputs_recorded(const PendingOutputs& pending, const history::History& history) {
    for (const std::string& key : pending.keys) {
        const auto it = history.find(key);
        if (it == history.end() || it->second.processed_at < pending.recorded_at) return false;
    }
    return true;
}

}  // namespace job
