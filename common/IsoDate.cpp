#include "common/IsoDate.h"

#include <ratio>
#include <type_traits>

namespace quorvane {
namespace {

using namespace std::chrono;

bool readDigits(std::string_view text, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > text.size()) {
        return false;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

} // namespace

std::string formatIsoDate(Date date) {
    const auto secs = floor<seconds>(date);
    const auto days = floor<std::chrono::days>(secs);
    const year_month_day ymd{days};
    const hh_mm_ss<seconds> tod{secs - days};
    // A clock counting nanoseconds reaches only the years 1677 to 2262: every
    // field has a fixed width.
    static_assert(std::is_same_v<Date::period, std::nano>);
    std::string text = "0000-00-00T00:00:00Z";
    const auto put = [&text](std::size_t at, unsigned value, std::size_t width) {
        for (std::size_t i = width; i > 0; --i, value /= 10) {
            text[at + i - 1] = static_cast<char>('0' + value % 10);
        }
    };
    put(0, static_cast<unsigned>(static_cast<int>(ymd.year())), 4);
    put(5, static_cast<unsigned>(ymd.month()), 2);
    put(8, static_cast<unsigned>(ymd.day()), 2);
    put(11, static_cast<unsigned>(tod.hours().count()), 2);
    put(14, static_cast<unsigned>(tod.minutes().count()), 2);
    put(17, static_cast<unsigned>(tod.seconds().count()), 2);
    return text;
}

std::optional<Date> parseIsoDate(std::string_view text) {
    // 0123456789012345678
    // YYYY-MM-DDTHH:MM:SS
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (text.size() < 20 || !readDigits(text, 0, 4, y) || text[4] != '-' || !readDigits(text, 5, 2, mo) ||
        text[7] != '-' || !readDigits(text, 8, 2, d) || text[10] != 'T' || !readDigits(text, 11, 2, h) ||
        text[13] != ':' || !readDigits(text, 14, 2, mi) || text[16] != ':' || !readDigits(text, 17, 2, s)) {
        return std::nullopt;
    }
    int offsetMinutes = 0;
    std::string_view zone = text.substr(19);
    if (zone == "Z") {
        offsetMinutes = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh = 0, om = 0;
        if (!readDigits(zone, 1, 2, oh) || !readDigits(zone, 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offsetMinutes = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59) {
        return std::nullopt;
    }
    const auto utc = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} - minutes{offsetMinutes};
    // Date counts nanoseconds in 64 bits (about the years 1678 to 2261); a
    // moment outside that range cannot be held, and converting it would overflow.
    constexpr auto lowest = floor<seconds>(Date::min()) + seconds{1};
    constexpr auto highest = floor<seconds>(Date::max());
    if (utc < lowest || utc > highest) {
        return std::nullopt;
    }
    return Date{utc};
}

Date makeDate(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s}};
}

} // namespace quorvane
