#include "history/dates.hpp"

#include <array>
#include <charconv>
#include <ctime>
#include <limits>
#include <string>

#include "i18n/unicode.hpp"
#include "platform/native.hpp"

namespace history {

namespace chr = std::chrono;

namespace {

struct DateTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;
};

std::optional<LocalTime> to_local_time(const DateTime& v) {
    if (v.year < 1 || v.year > 9999) return std::nullopt;
    const chr::year_month_day ymd{chr::year{v.year}, chr::month{static_cast<unsigned>(v.month)},
                                  chr::day{static_cast<unsigned>(v.day)}};
    if (!ymd.ok() || v.hour < 0 || v.hour > 23 || v.minute < 0 || v.minute > 59 || v.second < 0 || v.second > 59 ||
        v.micro < 0 || v.micro > 999'999)
        return std::nullopt;
    return LocalTime{chr::local_days{ymd}} + chr::hours{v.hour} + chr::minutes{v.minute} + chr::seconds{v.second} +
           chr::microseconds{v.micro};
}

// A cursor over a date text; every read checks the bounds.
class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}

    bool done() const { return i_ == s_.size(); }
    bool at_digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

    bool eat(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }

    // One character out of `set`, returned; '\0' when the next one is not in it.
    char eat_any(std::string_view set) {
        if (i_ < s_.size() && set.find(s_[i_]) != std::string_view::npos) return s_[i_++];
        return '\0';
    }

    // One or more ASCII blanks.
    bool eat_blanks() {
        const std::size_t start = i_;
        while (i_ < s_.size() && std::string_view(" \t\n\r\f\v").find(s_[i_]) != std::string_view::npos) ++i_;
        return i_ > start;
    }

    // Between `min` and `max` decimal digits (as many as there are, up to `max`).
    bool digits(int min, int max, int& out, int* count = nullptr) {
        int n = 0;
        int value = 0;
        while (n < max && at_digit()) {
            value = value * 10 + (s_[i_++] - '0');
            ++n;
        }
        if (count) *count = n;
        if (n < min) return false;
        out = value;
        return true;
    }

private:
    std::string_view s_;
    std::size_t i_ = 0;
};

// "%d.%m.%Y %H:%M:%S", read the way strptime reads it: one or two digits for every field
// but the four-digit year, any run of blanks for the blank.
std::optional<LocalTime> parse_dotted(std::string_view text) {
    Scanner sc(text);
    DateTime v;
    if (sc.digits(1, 2, v.day) && sc.eat('.') && sc.digits(1, 2, v.month) && sc.eat('.') && sc.digits(4, 4, v.year) &&
        sc.eat_blanks() && sc.digits(1, 2, v.hour) && sc.eat(':') && sc.digits(1, 2, v.minute) && sc.eat(':') &&
        sc.digits(1, 2, v.second) && sc.done())
        return to_local_time(v);
    return std::nullopt;
}

// "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S" and "%Y-%m-%dT%H:%M:%S.%f" (one to six
// digits of a fraction, read as the leading digits of the microseconds).
std::optional<LocalTime> parse_dashed(std::string_view text) {
    Scanner sc(text);
    DateTime v;
    if (!(sc.digits(4, 4, v.year) && sc.eat('-') && sc.digits(1, 2, v.month) && sc.eat('-') && sc.digits(1, 2, v.day)))
        return std::nullopt;
    const bool with_t = sc.eat('T') || sc.eat('t');
    if (!with_t && !sc.eat_blanks()) return std::nullopt;
    if (!(sc.digits(1, 2, v.hour) && sc.eat(':') && sc.digits(1, 2, v.minute) && sc.eat(':') &&
          sc.digits(1, 2, v.second)))
        return std::nullopt;
    if (with_t && sc.eat('.')) {
        int count = 0;
        if (!sc.digits(1, 6, v.micro, &count)) return std::nullopt;
        for (; count < 6; ++count) v.micro *= 10;
    }
    if (!sc.done()) return std::nullopt;
    return to_local_time(v);
}

// ISO 8601: YYYY-MM-DD or YYYYMMDD, optionally followed by "T" (or a blank) and a time
// hh[:mm[:ss[.fff...]]] (or hh[mm[ss]]) with an optional offset ±hh[:mm[:ss]] (or
// ±hh[mm[ss]]). Fractions beyond microseconds are cut off. A time with an offset is
// converted to local time; one without is taken as local time already.
std::optional<LocalTime> parse_iso(std::string_view text) {
    Scanner sc(text);
    DateTime v;
    if (!sc.digits(4, 4, v.year)) return std::nullopt;
    if (sc.eat('-')) {
        if (!(sc.digits(2, 2, v.month) && sc.eat('-') && sc.digits(2, 2, v.day))) return std::nullopt;
    } else if (!(sc.digits(2, 2, v.month) && sc.digits(2, 2, v.day))) {
        return std::nullopt;
    }
    if (sc.done()) return to_local_time(v);
    if (!sc.eat_any("Tt ")) return std::nullopt;

    // hh, then minutes and seconds in the extended (":") or the basic form.
    auto read_hms = [&sc](int& h, int& m, int& s) {
        if (!sc.digits(2, 2, h)) return false;
        if (sc.eat(':')) {
            if (!sc.digits(2, 2, m)) return false;
            if (sc.eat(':') && !sc.digits(2, 2, s)) return false;
        } else if (sc.at_digit()) {
            if (!sc.digits(2, 2, m)) return false;
            if (sc.at_digit() && !sc.digits(2, 2, s)) return false;
        }
        return true;
    };
    // A fraction after the seconds: its first six digits are the microseconds.
    auto read_fraction = [&sc](int& micro) {
        if (!sc.eat_any(".,")) return true;
        int count = 0;
        if (!sc.digits(1, 6, micro, &count)) return false;
        for (; count < 6; ++count) micro *= 10;
        int ignored = 0;
        while (sc.at_digit()) sc.digits(1, 1, ignored);
        return true;
    };
    if (!read_hms(v.hour, v.minute, v.second) || !read_fraction(v.micro)) return std::nullopt;

    const char sign = sc.eat_any("+-");
    int off_h = 0, off_m = 0, off_s = 0, off_micro = 0;
    if (sign && (!read_hms(off_h, off_m, off_s) || !read_fraction(off_micro))) return std::nullopt;
    if (!sc.done()) return std::nullopt;

    const std::optional<LocalTime> wall = to_local_time(v);
    if (!wall || !sign) return wall;
    if (off_m > 59 || off_s > 59) return std::nullopt;
    const chr::microseconds offset =
        chr::hours{off_h} + chr::minutes{off_m} + chr::seconds{off_s} + chr::microseconds{off_micro};
    if (offset >= chr::hours{24}) return std::nullopt;
    const chr::sys_time<chr::microseconds> utc{wall->time_since_epoch() - (sign == '-' ? -offset : offset)};
    return detail::utc_to_local(utc);
}

// `value` in decimal, padded with zeros to `width` digits.
void append_number(std::string& out, long long value, int width) {
    std::array<char, 24> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value < 0 ? -value : value);
    (void)ec;  // a long long always fits
    if (value < 0) out += '-';
    for (auto n = end - buf.data(); n < width; ++n) out += '0';
    out.append(buf.data(), end);
}

}  // namespace

namespace detail {

std::optional<LocalTime> utc_to_local(chr::sys_time<chr::microseconds> utc) {
    const chr::sys_seconds whole = chr::floor<chr::seconds>(utc);
    const auto count = whole.time_since_epoch().count();
    if (count < std::numeric_limits<std::time_t>::min() || count > std::numeric_limits<std::time_t>::max())
        return std::nullopt;
    const auto t = static_cast<std::time_t>(count);
    const auto local = platform::local_time(t);
    if (!local) return std::nullopt;
    const std::tm& tm = *local;
    const chr::year_month_day ymd{chr::year{tm.tm_year + 1900}, chr::month{static_cast<unsigned>(tm.tm_mon + 1)},
                                  chr::day{static_cast<unsigned>(tm.tm_mday)}};
    if (!ymd.ok()) return std::nullopt;
    return LocalTime{chr::local_days{ymd}} + chr::hours{tm.tm_hour} + chr::minutes{tm.tm_min} +
           chr::seconds{tm.tm_sec} + (utc - whole);
}

}  // namespace detail

LocalTime local_now() {
    const auto utc = chr::floor<chr::microseconds>(chr::system_clock::now());
    // The conversion fails only for instants out of the system's range; the UTC wall time
    // is then the best there is.
    return detail::utc_to_local(utc).value_or(LocalTime{utc.time_since_epoch()});
}

std::optional<LocalTime> parse_history_datetime(std::string_view value) {
    const std::string_view text = i18n::trim_space(value);
    if (text.empty()) return std::nullopt;
    if (auto t = parse_dotted(text)) return t;
    if (auto t = parse_dashed(text)) return t;
    std::string iso;
    iso.reserve(text.size() + 8);
    for (char c : text) {
        if (c == 'Z')
            iso += "+00:00";
        else
            iso += c;
    }
    return parse_iso(iso);
}

std::string format_history_datetime(LocalTime t) {
    const auto day = chr::floor<chr::days>(t);
    const chr::year_month_day ymd{day};
    const chr::hh_mm_ss hms{chr::floor<chr::seconds>(t - day)};
    std::string out;
    out.reserve(19);
    append_number(out, static_cast<unsigned>(ymd.day()), 2);
    out += '.';
    append_number(out, static_cast<unsigned>(ymd.month()), 2);
    out += '.';
    append_number(out, static_cast<int>(ymd.year()), 4);
    out += ' ';
    append_number(out, hms.hours().count(), 2);
    out += ':';
    append_number(out, hms.minutes().count(), 2);
    out += ':';
    append_number(out, hms.seconds().count(), 2);
    return out;
}

}  // namespace history
