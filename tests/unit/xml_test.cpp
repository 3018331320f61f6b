#include "utils/xml.hpp"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(Xml, QuotedValuesAfterAKey) {
    struct Case {
        const char* line;
        const char* key;
        std::optional<std::string> absent, rest;
    };
    const Case cases[] = {
        {"<source network='lab'/>", "network='", "lab", "lab"},
        {"<source network='lab", "network='", std::nullopt, "lab"},
        {"<source network=\"lab\"/>", "network='", std::nullopt, std::nullopt},
        {"<mac address='52:54:00:aa:00:01'/><x address='no'/>", "address='", "52:54:00:aa:00:01", "52:54:00:aa:00:01"},
        {"<source network='it&apos;s'/>", "network='", "it&apos;s", "it&apos;s"},
        {"<source network=''/>", "network='", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoted_after(c.line, c.key, UnclosedQuote::Absent), c.absent) << c.line;
        EXPECT_EQ(quoted_after(c.line, c.key, UnclosedQuote::RestOfLine), c.rest) << c.line;
    }
    EXPECT_EQ(attribute_after("<source network='it&apos;s'/>", "network='", UnclosedQuote::Absent), "it's");
    EXPECT_EQ(attribute_after("<source bridge='a&amp;b", "bridge='", UnclosedQuote::RestOfLine), "a&b");
    EXPECT_EQ(attribute_after("<source bridge='a&amp;b", "bridge='", UnclosedQuote::Absent), std::nullopt);
    EXPECT_EQ(attribute_after("<source/>", "bridge='", UnclosedQuote::RestOfLine), std::nullopt);
}

}  // namespace
}  // namespace qm
