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

namespace qm {
namespace {

// The root's own <name>, as an XML reader sees it; what cannot be read unambiguously is an error.
TEST(Xml, TheRootsOwnChildText) {
    struct Case {
        const char* xml;
        std::optional<std::string> name;  // when read
        bool readable = true;
    };
    const Case cases[] = {
        {"<network><name>lab</name></network>", "lab"},
        {"<?xml version='1.0'?>\n<!-- x --><network><!-- <name>lab</name> --><name>prod</name></network>", "prod"},
        {"<network><forward><name>lab</name></forward><name>prod</name></network>", "prod"},
        {"<network><name><![CDATA[a<b]]>&amp;&#x41;&#66;</name></network>", "a<b&AB"},
        {"<network a='x>y' b=\"/>\"><?pi <name>no</name>?><name/></network>", ""},
        {"<network><uuid>1</uuid></network>", std::nullopt},
        {"<network/>", std::nullopt},
        {"<!DOCTYPE n [<!ENTITY e 'lab'>]><network><name>&e;</name></network>", std::nullopt, false},
        {"<network><name>&e;</name></network>", std::nullopt, false},
        {"<network><name>a</name><name>b</name></network>", std::nullopt, false},
        {"<network><name>a<b/></name></network>", std::nullopt, false},
        {"<network><name>a</network>", std::nullopt, false},
        {"<network><!-- <name>lab</name></network>", std::nullopt, false},
        {"<network><name>lab</name>", std::nullopt, false},
        {"<network/><network><name>b</name></network>", std::nullopt, false},
        {"", std::nullopt, false},
    };
    for (const auto& c : cases) {
        auto r = xml_root_child_text(c.xml, "name");
        ASSERT_EQ(r.has_value(), c.readable) << c.xml;
        if (r) EXPECT_EQ(*r, c.name) << c.xml;
    }
}

}  // namespace
}  // namespace qm
