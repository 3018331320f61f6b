#include "utils/time.hpp"

#include <cstdio>
#include <limits>

namespace qm {

namespace {

using namespace std::chrono;

std::string two(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02u", v % 100);
    return buf;
}

std::string year_text(std::int64_t y) {
    char buf[32];
    std::snprintf(buf, sizeof buf, y < 0 ? "-%04lld" : "%04lld", static_cast<long long>(y < 0 ? -y : y));
    return buf;
}

// Fixed-width decimal field of the RFC 3339 text.
struct Cursor {
    std::string_view text;
    std::size_t i = 0;

    bool at_end() const { return i >= text.size(); }
    // Reads exactly n digits.
    Result<unsigned> digits(int n) {
        unsigned v = 0;
        for (int k = 0; k < n; ++k) {
            if (at_end()) return fail("premature end of input");
            char c = text[i];
            if (c < '0' || c > '9') return fail("input contains invalid characters");
            v = v * 10 + static_cast<unsigned>(c - '0');
            ++i;
        }
        return v;
    }
    Status expect(std::string_view any_of) {
        if (at_end()) return fail("premature end of input");
        if (any_of.find(text[i]) == std::string_view::npos) return fail("input contains invalid characters");
        ++i;
        return {};
    }
};

}  // namespace

CivilTime to_civil(SystemTime t) {
    auto ns = time_point_cast<nanoseconds>(t);
    auto day = floor<days>(ns);
    year_month_day ymd{day};
    auto rest = ns - day;  // never negative
    CivilTime c;
    c.year = static_cast<int>(ymd.year());
    c.month = static_cast<unsigned>(ymd.month());
    c.day = static_cast<unsigned>(ymd.day());
    auto total = rest.count();
    c.nanosecond = static_cast<std::uint32_t>(total % 1'000'000'000);
    auto secs = total / 1'000'000'000;
    c.hour = static_cast<unsigned>(secs / 3600);
    c.minute = static_cast<unsigned>(secs / 60 % 60);
    c.second = static_cast<unsigned>(secs % 60);
    return c;
}

std::string format_fraction(SystemTime t) {
    const std::uint32_t ns = to_civil(t).nanosecond;
    if (ns == 0) return {};
    char buf[16];
    if (ns % 1'000'000 == 0) {
        std::snprintf(buf, sizeof buf, ".%03u", ns / 1'000'000);
    } else if (ns % 1'000 == 0) {
        std::snprintf(buf, sizeof buf, ".%06u", ns / 1'000);
    } else {
        std::snprintf(buf, sizeof buf, ".%09u", ns);
    }
    return buf;
}

std::string format_rfc3339(SystemTime t, UtcSuffix suffix) {
    CivilTime c = to_civil(t);
    std::string out = year_text(c.year) + "-" + two(c.month) + "-" + two(c.day) + "T" + two(c.hour) + ":" +
                      two(c.minute) + ":" + two(c.second);
    out += format_fraction(t);
    out += suffix == UtcSuffix::Z ? "Z" : "+00:00";
    return out;
}

Result<SystemTime> parse_rfc3339(std::string_view text) {
    Cursor c{text};
    Result<unsigned> f[6];
    f[0] = c.digits(4);
    if (!f[0]) return unexpected(f[0].error());
    static const char* separators[] = {"-", "-", "Tt ", ":", ":"};
    static const int widths[] = {2, 2, 2, 2, 2};
    for (int k = 0; k < 5; ++k) {
        if (auto s = c.expect(separators[k]); !s) return unexpected(s.error());
        f[k + 1] = c.digits(widths[k]);
        if (!f[k + 1]) return unexpected(f[k + 1].error());
    }
    unsigned year = *f[0], month = *f[1], day = *f[2], hour = *f[3], minute = *f[4], second = *f[5];

    std::int64_t nanos = 0;
    if (!c.at_end() && text[c.i] == '.') {
        ++c.i;
        int count = 0;
        while (!c.at_end() && text[c.i] >= '0' && text[c.i] <= '9') {
            if (count < 9) nanos = nanos * 10 + (text[c.i] - '0');
            ++count;
            ++c.i;
        }
        if (count == 0) return fail(c.at_end() ? "premature end of input" : "input contains invalid characters");
        for (int k = count; k < 9; ++k) nanos *= 10;
    }

    std::int64_t offset_seconds = 0;
    if (c.at_end()) return fail("premature end of input");
    char z = text[c.i];
    if (z == 'Z' || z == 'z') {
        ++c.i;
    } else if (z == '+' || z == '-') {
        ++c.i;
        auto oh = c.digits(2);
        if (!oh) return unexpected(oh.error());
        if (auto s = c.expect(":"); !s) return unexpected(s.error());
        auto om = c.digits(2);
        if (!om) return unexpected(om.error());
        if (*oh > 23 || *om > 59) return fail("input is out of range");
        offset_seconds = (static_cast<std::int64_t>(*oh) * 3600 + *om * 60) * (z == '-' ? -1 : 1);
    } else {
        return fail("input contains invalid characters");
    }
    if (!c.at_end()) return fail("trailing input");

    year_month_day ymd{std::chrono::year(static_cast<int>(year)), std::chrono::month(month), std::chrono::day(day)};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 60) return fail("input is out of range");

    // Seconds since the epoch first, so that the range check cannot overflow.
    std::int64_t days_since_epoch = sys_days(ymd).time_since_epoch().count();
    std::int64_t secs = days_since_epoch * 86400 + hour * 3600 + minute * 60 + second - offset_seconds;
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 1'000'000'000 - 1;
    if (secs > limit || secs < -limit) return fail("input is out of range");
    return SystemTime{} + duration_cast<SystemTime::duration>(nanoseconds(secs * 1'000'000'000 + nanos));
}

std::string format_utc(SystemTime t, std::string_view pattern) {
    CivilTime c = to_civil(t);
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char ch = pattern[i];
        if (ch != '%' || i + 1 == pattern.size()) {
            out += ch;
            continue;
        }
        char directive = pattern[++i];
        switch (directive) {
            case 'Y': out += year_text(c.year); break;
            case 'm': out += two(c.month); break;
            case 'd': out += two(c.day); break;
            case 'H': out += two(c.hour); break;
            case 'M': out += two(c.minute); break;
            case 'S': out += two(c.second); break;
            case '%': out += '%'; break;
            default:
                out += '%';
                out += directive;
        }
    }
    return out;
}

std::string format_name_stamp(SystemTime t) { return format_utc(t, "%Y%m%d_%H%M%S"); }
std::string format_listing_time(SystemTime t) { return format_utc(t, "%Y-%m-%d %H:%M:%S UTC"); }

}  // namespace qm
