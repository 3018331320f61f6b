#include "utils/json.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/managed_resources/managed_resources.hpp"
#include "utils/time.hpp"

namespace qm {
namespace {

// A record with one field of every supported shape, for the reader's rules.
struct Inner {
    std::string a;
    std::optional<std::string> b;
    bool c = false;
};

constexpr auto describe_json(JsonTag<Inner>) {
    return json_record("Inner", required_field("a", &Inner::a), optional_field("b", &Inner::b),
                       required_field("c", &Inner::c));
}

struct Outer {
    Inner inner;
    std::optional<Inner> maybe;
    std::unordered_map<std::string, std::vector<std::string>> map;
    std::vector<std::string> tags;
    SystemTime when;
};

constexpr auto describe_json(JsonTag<Outer>) {
    return json_record("Outer", required_field("inner", &Outer::inner), optional_field("maybe", &Outer::maybe),
                       required_field("map", &Outer::map), defaulted_field("tags", &Outer::tags),
                       required_field("when", &Outer::when));
}

// A document of nested records: a one-field record, a list of records, an optional
// record, a map and a trailing defaulted field.
struct Names {
    std::vector<std::string> names;
    bool operator==(const Names&) const = default;
};

constexpr auto describe_json(JsonTag<Names>) { return json_record("Names", required_field("names", &Names::names)); }

struct Document {
    Names names;
    std::vector<Inner> inners;
    std::optional<Names> extra;
    std::unordered_map<std::string, std::string> macs;
    SystemTime when;
    std::string version = "1.0.0";
};

constexpr auto describe_json(JsonTag<Document>) {
    using R = Document;
    return json_record("Document", required_field("names", &R::names), required_field("inners", &R::inners),
                       optional_field("extra", &R::extra), required_field("macs", &R::macs),
                       required_field("when", &R::when), defaulted_field("version", &R::version));
}

struct Refusal {
    std::string text;
    std::string message;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.text; }

class LedgerRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(LedgerRefusal, MessageAndPosition) {
    auto r = parse_managed_resources(GetParam().text);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, GetParam().message);
}

const std::string kPrettyNoCreatedAt = "{\n  \"vswitches\": [],\n  \"vlan_bridges\": [],\n  \"veth_pairs\": []\n}";

INSTANTIATE_TEST_SUITE_P(
    Documents, LedgerRefusal,
    ::testing::Values(
        Refusal{kPrettyNoCreatedAt, "missing field `created_at` at line 5 column 1"},
        Refusal{R"({"vlan_bridges":[],"veth_pairs":[],"created_at":"t"})", "missing field `vswitches` at line 1 column 52"},
        Refusal{R"({"vswitches":[],"vswitches":[]})", "duplicate field `vswitches` at line 1 column 27"},
        // The position is where the reader stopped: after the blanks that follow the key.
        Refusal{"{\"vswitches\":[],\"vswitches\"  :[]}", "duplicate field `vswitches` at line 1 column 29"},
        Refusal{R"({"vswitches":null})", "invalid type: null, expected a sequence at line 1 column 17"},
        Refusal{R"({"vswitches":"a"})", "invalid type: string \"a\", expected a sequence at line 1 column 16"},
        Refusal{R"({"vswitches":{}})", "invalid type: map, expected a sequence at line 1 column 13"},
        Refusal{R"({"vswitches":"q\"\\\n\u0001\u0085é"})",
                R"(invalid type: string "q\"\\\n\u{1}\u{85}é", expected a sequence at line 1 column 36)"},
        Refusal{R"({"vswitches":[1]})", "invalid type: integer `1`, expected a string at line 1 column 15"},
        Refusal{R"({"vswitches":[-7]})", "invalid type: integer `-7`, expected a string at line 1 column 16"},
        Refusal{R"({"vswitches":[[]]})", "invalid type: sequence, expected a string at line 1 column 14"},
        Refusal{R"({"vswitches":[true]})", "invalid type: boolean `true`, expected a string at line 1 column 18"},
        Refusal{R"({"created_at":1.5})", "invalid type: floating point `1.5`, expected a string at line 1 column 17"},
        Refusal{R"({"created_at":1e20})", "invalid type: floating point `1e20`, expected a string at line 1 column 18"},
        Refusal{R"({"created_at":null})", "invalid type: null, expected a string at line 1 column 18"},
        Refusal{"\"x\"", "invalid type: string \"x\", expected struct ManagedResources at line 1 column 3"},
        Refusal{"  7", "invalid type: integer `7`, expected struct ManagedResources at line 1 column 3"},
        Refusal{"[[],[],[],[]]", "invalid length 4, expected struct ManagedResources with 5 elements at line 1 column 13"},
        Refusal{"[]", "invalid length 0, expected struct ManagedResources with 5 elements at line 1 column 2"},
        Refusal{"[[],[],[],[],\"t\",1]", "trailing characters at line 1 column 18"},
        Refusal{R"([[],[],[],[],"t"]x)", "trailing characters at line 1 column 18"},
        Refusal{"[[],[],[],[],\"t\"]\n\n  }", "trailing characters at line 3 column 3"},
        // The first fault in reading order wins, also over malformed text further on.
        Refusal{R"({"vswitches":5,"x":[)", "invalid type: integer `5`, expected a sequence at line 1 column 14"},
        // Unknown keys are skipped, but their values must be well-formed.
        Refusal{R"({"extra":[1,})", "expected value at line 1 column 13"},
        Refusal{R"({"extra":[1,]})", "trailing comma at line 1 column 13"},
        Refusal{R"({"extra":tru})", "expected ident at line 1 column 13"},
        Refusal{R"({"extra":01})", "invalid number at line 1 column 11"},
        Refusal{R"({"extra":1.})", "invalid number at line 1 column 12"},
        Refusal{R"({"extra":-x})", "invalid number at line 1 column 11"},
        Refusal{R"({"extra":1e999})", "number out of range at line 1 column 14"},
        Refusal{R"({"extra" 1})", "expected `:` at line 1 column 10"},
        Refusal{R"({"extra":1 "y":2})", "expected `,` or `}` at line 1 column 12"},
        Refusal{R"({"extra":1,})", "trailing comma at line 1 column 12"},
        Refusal{R"({1:2})", "key must be a string at line 1 column 2"},
        Refusal{"", "EOF while parsing a value at line 1 column 0"},
        Refusal{"\n", "EOF while parsing a value at line 2 column 0"},
        Refusal{"{", "EOF while parsing an object at line 1 column 1"},
        Refusal{R"({"vswitches":["a)", "EOF while parsing a string at line 1 column 16"},
        Refusal{R"({"vswitches":["\q"]})", "invalid escape at line 1 column 17"},
        Refusal{R"({"vswitches":["\u12G4"]})", "invalid escape at line 1 column 21"},
        Refusal{"{\"vswitches\":[\"a\tb\"]}",
                "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 17"},
        Refusal{R"({"vswitches":["\ud800"]})", "unexpected end of hex escape at line 1 column 22"},
        Refusal{R"({"vswitches":["\udc00"]})", "lone leading surrogate in hex escape at line 1 column 21"},
        Refusal{R"({"vswitches":["\ud800\u0041"]})", "lone leading surrogate in hex escape at line 1 column 27"},
        Refusal{"{\"vswitches\":[\"\xff\"]}", "invalid unicode code point at line 1 column 17"},
        Refusal{"\xc3", "expected value at line 1 column 1"}));

TEST(JsonReader, LedgerAcceptsAnyKeyOrderUnknownKeysAndMissingBonds) {
    auto r = parse_managed_resources(R"( {"created_at":"t","extra":{"deep":[1,-2.5e3,null,{"k":"\u00e9"}]},)"
                                     R"("veth_pairs":["v0"],"vlan_bridges":[],"vswitches":["a","b"]} )"
                                     "\n");
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->vswitches, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r->veth_pairs, (std::vector<std::string>{"v0"}));
    EXPECT_TRUE(r->bonds.empty());
    EXPECT_EQ(r->created_at, "t");
}

TEST(JsonReader, LedgerAcceptsTheArrayForm) {
    auto r = parse_managed_resources(R"([["a"],["vlan5br"],[],["bond0"],"2024-01-02T03:04:05+00:00"])");
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->vswitches, (std::vector<std::string>{"a"}));
    EXPECT_EQ(r->vlan_bridges, (std::vector<std::string>{"vlan5br"}));
    EXPECT_EQ(r->bonds, (std::vector<std::string>{"bond0"}));
    EXPECT_EQ(r->created_at, "2024-01-02T03:04:05+00:00");
}

TEST(JsonReader, RecordRules) {
    struct Case {
        std::string text;
        std::string message;  // empty: accepted
    };
    const std::string when = R"("when":"2024-01-01T00:00:00Z")";
    const std::vector<Case> cases = {
        {R"({"inner":{"a":"x","c":true},"map":{},)" + when + "}", ""},
        {R"({"inner":{"a":"x","b":null,"c":false},"maybe":null,"map":{},)" + when + "}", ""},
        {R"({"inner":["x",null,true],"map":{},)" + when + "}", ""},
        // An optional value still has to be there in the array form.
        {R"({"inner":["x",true]})", "invalid type: boolean `true`, expected a string at line 1 column 18"},
        {R"({"inner":["x"]})", "invalid length 1, expected struct Inner with 3 elements at line 1 column 14"},
        {R"({"inner":{"a":"x"}})", "missing field `c` at line 1 column 18"},
        {R"({"inner":{"a":"x","c":"yes"}})", "invalid type: string \"yes\", expected a boolean at line 1 column 27"},
        {R"({"inner":{"a":"x","b":5,"c":true}})", "invalid type: integer `5`, expected a string at line 1 column 23"},
        {R"({"inner":{"a":"x","b":null,"b":null,"c":true}})", "duplicate field `b` at line 1 column 30"},
        {R"({"inner":{"a":"x","c":true},"map":[],)" + when + "}",
         "invalid type: sequence, expected a map at line 1 column 34"},
        {R"({"inner":{"a":"x","c":true},"map":{"k":"v"}})",
         "invalid type: string \"v\", expected a sequence at line 1 column 42"},
        {R"({"inner":{"a":"x","c":true},"map":{},"when":5})",
         "invalid type: integer `5`, expected an RFC 3339 formatted date and time string at line 1 column 45"},
        {R"({"inner":{"a":"x","c":true},"map":{},"when":"nope"})",
         "input contains invalid characters at line 1 column 50"},
        {R"({"inner":{"a":"x","c":true},"maybe":{"a":1},"map":{},)" + when + "}",
         "invalid type: integer `1`, expected a string at line 1 column 42"},
    };
    for (const auto& c : cases) {
        auto r = from_json<Outer>(c.text);
        if (c.message.empty()) {
            EXPECT_TRUE(r.has_value()) << c.text << ": " << r.error().message;
        } else {
            ASSERT_FALSE(r.has_value()) << c.text;
            EXPECT_EQ(r.error().message, c.message) << c.text;
        }
    }
}

TEST(JsonRecord, OneDescriptionWritesAndReadsNestedRecords) {
    Document d;
    d.names.names = {"a"};
    d.inners = {Inner{"x", std::nullopt, true}};
    d.macs = {{"vswitch0", "52:54:00:00:00:01"}};
    d.when = SystemTime{} + std::chrono::seconds(1709622489) + std::chrono::microseconds(1500);
    d.version = "2";
    const std::string text = to_json_pretty(d);
    EXPECT_EQ(text,
              "{\n"
              "  \"names\": {\n"
              "    \"names\": [\n"
              "      \"a\"\n"
              "    ]\n"
              "  },\n"
              "  \"inners\": [\n"
              "    {\n"
              "      \"a\": \"x\",\n"
              "      \"b\": null,\n"
              "      \"c\": true\n"
              "    }\n"
              "  ],\n"
              "  \"extra\": null,\n"
              "  \"macs\": {\n"
              "    \"vswitch0\": \"52:54:00:00:00:01\"\n"
              "  },\n"
              "  \"when\": \"2024-03-05T07:08:09.001500Z\",\n"
              "  \"version\": \"2\"\n"
              "}");
    auto back = from_json<Document>(text);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(to_json_pretty(*back), text);

    // The array form; the trailing defaulted field may be left out.
    auto short_form = from_json<Document>(R"([[["a"]],[["x",null,true]],{"names":[]},{},"2024-03-05T09:08:09+02:00"])");
    ASSERT_TRUE(short_form.has_value()) << short_form.error().message;
    EXPECT_EQ(short_form->names, Names{{"a"}});
    EXPECT_EQ(short_form->extra, Names{});
    EXPECT_EQ(short_form->version, "1.0.0");
    EXPECT_EQ(format_rfc3339(short_form->when), "2024-03-05T07:08:09Z");
}

TEST(JsonRecord, RefusalsNameTheRecordAndLeaveTheTargetAlone) {
    // Texts with "inners" are read as a Document, the others as Names.
    const std::vector<Refusal> cases = {
        {"[]", "invalid length 0, expected struct Names with 1 element at line 1 column 2"},
        {R"([[],"extra"])", "trailing characters at line 1 column 5"},
        {R"({"names":[],"names":[]})", "duplicate field `names` at line 1 column 19"},
        {"null", "invalid type: null, expected struct Names at line 1 column 4"},
        {R"({"names":{"names":[]},"inners":[],"extra":{"names":null},"macs":{},"when":"2024-01-01T00:00:00Z"})",
         "invalid type: null, expected a sequence at line 1 column 55"},
        {R"({"names":{"names":[]},"inners":[],"macs":[],"when":"2024-01-01T00:00:00Z"})",
         "invalid type: sequence, expected a map at line 1 column 41"},
        {R"({"names":{"names":[]},"inners":[{"a":"x","c":true}],"macs":{}})",
         "missing field `when` at line 1 column 62"},
    };
    for (const auto& c : cases) {
        const bool document = c.text.find("inners") != std::string::npos;
        auto got = document ? from_json<Document>(c.text).error().message : from_json<Names>(c.text).error().message;
        EXPECT_EQ(got, c.message) << c.text;
    }

    Names kept{{"kept"}};
    JsonReader r(R"({"names":["new",1]})");
    EXPECT_FALSE(read_value(r, kept).has_value());
    EXPECT_EQ(kept, Names{{"kept"}});
}

TEST(JsonReader, MapKeepsTheLaterValueOfARepeatedKey) {
    auto r = from_json<std::unordered_map<std::string, std::vector<std::string>>>(
        R"({"vswitch0":["vswitch1"],"vswitch0":["vswitch2","vswitch2"]})");
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->size(), 1u);
    EXPECT_EQ(r->at("vswitch0"), (std::vector<std::string>{"vswitch2", "vswitch2"}));
}

TEST(JsonReader, DecodesEscapesAndSurrogatePairs) {
    auto r = from_json<std::string>(R"("a\"\\\/\b\f\n\r\t\u0000\u00e9\u20ac\ud83d\ude00")");
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(*r, std::string("a\"\\/\b\f\n\r\t") + std::string(1, '\0') + "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

TEST(JsonReader, DateTimeWithOffsetIsReadAsUtc) {
    auto r = from_json<SystemTime>(R"("2024-03-05T09:08:09.5+02:00")");
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(format_rfc3339(*r), "2024-03-05T07:08:09.500Z");
}

TEST(JsonReader, DeepNestingIsRefusedNotFatal) {
    std::string deep(100000, '[');
    auto r = parse_json(deep);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "recursion limit exceeded at line 1 column 128");
    EXPECT_TRUE(parse_json(std::string(127, '[') + std::string(127, ']')).has_value());
    std::string deep_objects;
    for (int i = 0; i < 1000; ++i) deep_objects += "{\"extra\":";
    EXPECT_FALSE(parse_managed_resources(deep_objects).has_value());
}

TEST(JsonReader, ValuesRememberWhereTheyAre) {
    auto r = parse_json("{\n  \"a\": [1, \"x\"],\n  \"a\": true\n}");
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_EQ(r->members.size(), 2u);
    const JsonValue& list = r->members[0].value;
    EXPECT_EQ(list.begin, (JsonPosition{2, 8}));
    EXPECT_EQ(list.end, (JsonPosition{2, 15}));
    EXPECT_EQ(list.items[1].text, "x");
    EXPECT_EQ(list.items[1].begin, (JsonPosition{2, 12}));
    EXPECT_EQ(r->find("a")->kind, JsonValue::Kind::Bool);
    EXPECT_EQ(r->find("b"), nullptr);
}

TEST(JsonWriter, PrettyLayout) {
    ManagedResources m;
    m.vswitches = {"Management Network", "test1"};
    m.created_at = "2024-03-05T07:08:09+00:00";
    EXPECT_EQ(managed_resources_to_json(m),
              "{\n"
              "  \"vswitches\": [\n"
              "    \"Management Network\",\n"
              "    \"test1\"\n"
              "  ],\n"
              "  \"vlan_bridges\": [],\n"
              "  \"veth_pairs\": [],\n"
              "  \"bonds\": [],\n"
              "  \"created_at\": \"2024-03-05T07:08:09+00:00\"\n"
              "}");
    EXPECT_EQ(parse_managed_resources(managed_resources_to_json(m)).value(), m);

    Inner inner{"x", std::nullopt, true};
    EXPECT_EQ(to_json_pretty(inner), "{\n  \"a\": \"x\",\n  \"b\": null,\n  \"c\": true\n}");
    EXPECT_EQ(to_json_pretty(std::unordered_map<std::string, std::string>{}), "{}");
    EXPECT_EQ(to_json_pretty(std::vector<std::vector<std::string>>{{}, {"a"}}), "[\n  [],\n  [\n    \"a\"\n  ]\n]");
}

TEST(JsonWriter, UntypedValuesRoundTripInThePrettyLayout) {
    auto v = parse_json(R"( {"b":[1,-2.50,{"c":null}],"a":{},"e":[],"s":"\u00e9"} )");
    ASSERT_TRUE(v.has_value()) << v.error().message;
    EXPECT_EQ(to_json_pretty(*v),
              "{\n  \"b\": [\n    1,\n    -2.50,\n    {\n      \"c\": null\n    }\n  ],\n"
              "  \"a\": {},\n  \"e\": [],\n  \"s\": \"\xc3\xa9\"\n}");
}

TEST(JsonWriter, EscapesOnlyQuoteBackslashAndControlCharacters) {
    std::string text = std::string("\"\\\b\t\n\f\r") + std::string(1, '\0') + "\x01\x1f\x7f/\xc3\xa9\xf0\x9f\x98\x80";
    EXPECT_EQ(json_quote(text),
              "\"\\\"\\\\\\b\\t\\n\\f\\r\\u0000\\u0001\\u001f\x7f/\xc3\xa9\xf0\x9f\x98\x80\"");
    auto back = from_json<std::string>(json_quote(text));
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(*back, text);
}

TEST(JsonReader, LongStringsStopAtEveryQuoteBackslashAndControlCharacterWhereverItIs) {
    // Strings are scanned several bytes at a time; a special byte at any offset must still
    // be seen, and bytes above 0x7F or just above 0x20 must not be taken for one.
    const std::string plain = "abc \x21\x7e\xc3\xa9\xe2\x82\xac xyz 0123456789";
    for (std::size_t at = 0; at <= 24; ++at) {
        if ((static_cast<unsigned char>(plain[at]) & 0xC0) == 0x80) continue;  // inside a character
        for (const auto& [escaped, decoded] : std::vector<std::pair<std::string, std::string>>{
                 {"\\\"", "\""}, {"\\\\", "\\"}, {"\\n", "\n"}, {"\\u0001", "\x01"}}) {
            const std::string head = plain.substr(0, at);
            const std::string tail = plain.substr(at);
            auto back = from_json<std::string>("\"" + head + escaped + tail + "\"");
            ASSERT_TRUE(back.has_value()) << at << ": " << back.error().message;
            EXPECT_EQ(*back, head + decoded + tail) << at;
        }
        std::string raw = "\"" + plain.substr(0, at) + "\n" + plain.substr(at) + "\"";
        auto refused = from_json<std::string>(raw);
        ASSERT_FALSE(refused.has_value()) << at;
        EXPECT_EQ(refused.error().message,
                  "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0")
            << at;
        auto unterminated = from_json<std::string>("\"" + plain.substr(0, at));
        ASSERT_FALSE(unterminated.has_value()) << at;
        EXPECT_EQ(unterminated.error().message.rfind("EOF while parsing a string", 0), 0u) << at;
    }
}

TEST(JsonLexer, CheckingAStringAcceptsRefusesAndStopsExactlyAsReadingIt) {
    // The check looks at 64 bytes at a time and leaves anything unusual to the exact walk:
    // strings of every kind of piece, starting anywhere in a block, long and short, closed or
    // not, with text after them or at the end of the text.
    const std::vector<std::string> pieces = {
        "a", "plain text of some length, more than one block of it when a few come together ",
        "\\\\", "\\\"", "\\n", "\\/", "\\t", "\\u00e9", "\\ud83d\\ude00", "\\u12G4", "\\q", "\\ud800", "\\udc00x",
        "\\", "\\\\\\", "\"", "\x01", "\n", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xff", "\xc3", "\xed\xa0\x80", "u"};
    std::vector<std::string> texts;
    // Runs of backslashes across the end of a block: which byte is escaped carries over.
    for (std::size_t offset = 56; offset < 72; ++offset)
        for (std::size_t run = 1; run <= 6; ++run)
            for (const char* after : {"\"", "n", "q", "\\\"", "\\n"})
                texts.push_back("\"" + std::string(offset, 'a') + std::string(run, '\\') + after + std::string(80, 'b') + "\"");
    std::mt19937 random(20240305);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    for (int round = 0; round < 20000; ++round) {
        std::string text = std::string(below(70), ' ') + "\"";
        for (std::size_t k = below(24); k > 0; --k) text += pieces[below(pieces.size())];
        if (below(4) != 0) text += "\"";
        if (below(3) != 0) text += std::string(below(130), 'z');
        texts.push_back(std::move(text));
    }
    for (const std::string& text : texts) {
        JsonLexer reading(text), checking(text);
        reading.skip_white_space();
        checking.skip_white_space();
        std::string decoded;
        const Status read = reading.read_string(decoded);
        const Status checked = checking.check_string();
        ASSERT_EQ(checked.has_value(), read.has_value()) << text;
        if (read) {
            ASSERT_EQ(checking.position(), reading.position()) << text;
        } else {
            ASSERT_EQ(checked.error().message, read.error().message) << text;
        }
    }
}

}  // namespace
}  // namespace qm
