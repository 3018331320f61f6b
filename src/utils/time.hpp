// UTC time as text: RFC 3339 for JSON, and the two fixed formats for names and listings.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/expected.hpp"

namespace qm {

using SystemTime = std::chrono::system_clock::time_point;

// How RFC 3339 text names UTC: "Z" (backups) or "+00:00" (the ledger).
enum class UtcSuffix { Z, NumericOffset };

// "2024-03-05T07:08:09Z", with a fraction only when the nanoseconds are not zero: three
// digits when they are whole milliseconds, six when whole microseconds, else nine.
std::string format_rfc3339(SystemTime t, UtcSuffix suffix = UtcSuffix::Z);
// That fraction alone: "" or "." and three, six or nine digits.
std::string format_fraction(SystemTime t);

// RFC 3339 date-time text ("T", "t" or a blank between date and time; "Z", "z" or a
// numeric offset such as "+02:00"; a fraction of any length, of which nine digits are
// kept), converted to UTC. Bad text gives an error describing the fault.
Result<SystemTime> parse_rfc3339(std::string_view text);

// strftime-like formatting in UTC; knows %Y %m %d %H %M %S and %%.
std::string format_utc(SystemTime t, std::string_view pattern);
// "%Y%m%d_%H%M%S", for names.
std::string format_name_stamp(SystemTime t);
// "%Y-%m-%d %H:%M:%S UTC", for listings.
std::string format_listing_time(SystemTime t);

// Broken-down UTC time; valid also before 1970.
struct CivilTime {
    std::int64_t year = 1970;
    unsigned month = 1;   // 1..12
    unsigned day = 1;     // 1..31
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    std::uint32_t nanosecond = 0;
    bool operator==(const CivilTime&) const = default;
};
CivilTime to_civil(SystemTime t);

}  // namespace qm
