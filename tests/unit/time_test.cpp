#include "utils/time.hpp"

#include <gtest/gtest.h>

namespace qm {
namespace {

using namespace std::chrono;

SystemTime at(std::int64_t seconds, std::int64_t nanos = 0) {
    return SystemTime{} + duration_cast<SystemTime::duration>(std::chrono::seconds(seconds) + nanoseconds(nanos));
}

// 2024-03-05T07:08:09Z
constexpr std::int64_t kMarch5 = 1709622489;

TEST(Rfc3339, FractionDigitsAreTheFewestThatShowTheNanoseconds) {
    EXPECT_EQ(format_rfc3339(at(kMarch5)), "2024-03-05T07:08:09Z");
    EXPECT_EQ(format_rfc3339(at(kMarch5, 120'000'000)), "2024-03-05T07:08:09.120Z");
    EXPECT_EQ(format_rfc3339(at(kMarch5, 1'500'000)), "2024-03-05T07:08:09.001500Z");
    EXPECT_EQ(format_rfc3339(at(kMarch5, 123)), "2024-03-05T07:08:09.000000123Z");
    EXPECT_EQ(format_rfc3339(at(kMarch5, 123), UtcSuffix::NumericOffset), "2024-03-05T07:08:09.000000123+00:00");
    EXPECT_EQ(format_rfc3339(at(kMarch5), UtcSuffix::NumericOffset), "2024-03-05T07:08:09+00:00");
}

TEST(Rfc3339, TimesBeforeTheEpoch) {
    EXPECT_EQ(format_rfc3339(at(0, -1)), "1969-12-31T23:59:59.999999999Z");
    EXPECT_EQ(format_rfc3339(at(-86400 * 365LL * 100)), "1870-01-25T00:00:00Z");
    EXPECT_EQ(format_name_stamp(at(-1)), "19691231_235959");
    EXPECT_EQ(parse_rfc3339("1969-12-31T23:59:59.999999999Z").value(), at(0, -1));
}

TEST(Rfc3339, ReadsOffsetsAndConvertsToUtc) {
    struct Case {
        const char* text;
        SystemTime expected;
    };
    const Case cases[] = {
        {"2024-03-05T07:08:09Z", at(kMarch5)},
        {"2024-03-05t07:08:09z", at(kMarch5)},
        {"2024-03-05 07:08:09+00:00", at(kMarch5)},
        {"2024-03-05T09:08:09+02:00", at(kMarch5)},
        {"2024-03-05T06:38:09-00:30", at(kMarch5)},
        {"2024-03-05T07:08:09.5Z", at(kMarch5, 500'000'000)},
        {"2024-03-05T07:08:09.000000123+00:00", at(kMarch5, 123)},
        {"2024-03-05T07:08:09.1234567891234Z", at(kMarch5, 123'456'789)},
        {"2024-02-29T00:00:00Z", at(1709164800)},
        {"2016-12-31T23:59:60Z", at(1483228800)},
    };
    for (const auto& c : cases) {
        auto r = parse_rfc3339(c.text);
        ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error().message;
        EXPECT_EQ(*r, c.expected) << c.text;
    }
}

TEST(Rfc3339, RefusesBadText) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "premature end of input"},
        {"2024-03-05", "premature end of input"},
        {"2024-03-05T07:08:09", "premature end of input"},
        {"2024-03-05T07:08:09.Z", "input contains invalid characters"},
        {"2024/03/05T07:08:09Z", "input contains invalid characters"},
        {"2024-03-05T07:08:09+0200", "input contains invalid characters"},
        {"2024-03-05T07:08:09Zx", "trailing input"},
        {"2024-13-05T07:08:09Z", "input is out of range"},
        {"2023-02-29T07:08:09Z", "input is out of range"},
        {"2024-03-05T24:00:00Z", "input is out of range"},
        {"2024-03-05T07:08:09+24:00", "input is out of range"},
        {"9999-12-31T23:59:59Z", "input is out of range"},
    };
    for (const auto& c : cases) {
        auto r = parse_rfc3339(c.text);
        ASSERT_FALSE(r.has_value()) << c.text;
        EXPECT_EQ(r.error().message, c.message) << c.text;
    }
}

TEST(Rfc3339, WrittenTextReadsBack) {
    for (std::int64_t ns : {0LL, 1LL, 999'999'999LL, 120'000'000LL, 4'000LL}) {
        for (auto suffix : {UtcSuffix::Z, UtcSuffix::NumericOffset}) {
            auto t = at(kMarch5, ns);
            EXPECT_EQ(parse_rfc3339(format_rfc3339(t, suffix)).value(), t);
        }
    }
}

TEST(TimeFormats, NamesAndListings) {
    EXPECT_EQ(format_name_stamp(at(kMarch5, 999'000'000)), "20240305_070809");
    EXPECT_EQ(format_listing_time(at(kMarch5, 999'000'000)), "2024-03-05 07:08:09 UTC");
    EXPECT_EQ(format_utc(at(kMarch5), "%d.%m.%Y %%H"), "05.03.2024 %H");
}

}  // namespace
}  // namespace qm
