#include "utils/xml.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "utils/text.hpp"

namespace qm {

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\'': out += "&apos;"; break;
            case '"': out += "&quot;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string xml_unescape(std::string_view text) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&apos;", '\''}, {"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'},
    };
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [entity, c] : kEntities) {
                if (text.substr(i, entity.size()) == entity) {
                    out += c;
                    i += entity.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

std::optional<std::string> quoted_after(std::string_view line, std::string_view key, UnclosedQuote unclosed) {
    auto start = line.find(key);
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view rest = line.substr(start + key.size());
    auto end = rest.find('\'');
    if (end == std::string_view::npos) {
        if (unclosed == UnclosedQuote::Absent) return std::nullopt;
        return std::string(rest);
    }
    return std::string(rest.substr(0, end));
}

std::optional<std::string> attribute_after(std::string_view line, std::string_view key, UnclosedQuote unclosed) {
    auto value = quoted_after(line, key, unclosed);
    if (!value) return std::nullopt;
    return xml_unescape(*value);
}

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Appends the code point as UTF-8; false for one XML does not allow.
bool append_code_point(std::string& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    append_utf8(out, static_cast<char32_t>(cp));
    return true;
}

// Character data with its references decoded; false on a reference that is not one of ours.
bool decode_text(std::string_view text, std::string& out) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"apos", '\''}, {"quot", '"'}, {"lt", '<'}, {"gt", '>'}, {"amp", '&'},
    };
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        const auto end = text.find(';', i);
        if (end == std::string_view::npos) return false;
        const std::string_view ref = text.substr(i + 1, end - i - 1);
        i = end + 1;
        if (ref.size() > 1 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty() || digits.size() > 8) return false;
            unsigned long cp = 0;
            for (char c : digits) {
                int d = -1;
                if (c >= '0' && c <= '9') d = c - '0';
                else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
                if (d < 0) return false;
                cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
            }
            if (!append_code_point(out, cp)) return false;
            continue;
        }
        bool known = false;
        for (const auto& [name, c] : kEntities)
            if (ref == name) {
                out += c;
                known = true;
                break;
            }
        if (!known) return false;
    }
    return true;
}

// A start or end tag from just after its '<' (or "</"): its name, whether it closes itself, and
// the position after its '>'. Quoted attribute values may hold '>' and '/'.
struct Tag {
    std::string_view name;
    bool self_closing = false;
    std::size_t next = 0;
};
std::optional<Tag> read_tag(std::string_view xml, std::size_t pos) {
    std::size_t i = pos;
    while (i < xml.size() && !is_space(xml[i]) && xml[i] != '>' && xml[i] != '/') ++i;
    Tag tag;
    tag.name = xml.substr(pos, i - pos);
    if (tag.name.empty()) return std::nullopt;
    while (i < xml.size()) {
        const char c = xml[i];
        if (c == '\'' || c == '"') {
            const auto close = xml.find(c, i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            i = close + 1;
        } else if (c == '>') {
            tag.next = i + 1;
            return tag;
        } else if (c == '/' && i + 1 < xml.size() && xml[i + 1] == '>') {
            tag.self_closing = true;
            tag.next = i + 2;
            return tag;
        } else if (c == '<') {
            return std::nullopt;
        } else {
            ++i;
        }
    }
    return std::nullopt;
}

}  // namespace

Result<std::optional<std::string>> xml_root_child_text(std::string_view xml, std::string_view child) {
    auto unreadable = [](std::string_view why) { return fail(std::string(why)); };
    std::vector<std::string_view> open;  // the elements open at this point, the root first
    std::optional<std::string> text;     // the child's text, once its start tag is read
    bool in_child = false;
    bool root_seen = false;
    std::size_t i = 0;
    if (xml.starts_with("\xEF\xBB\xBF")) i = 3;
    while (i < xml.size()) {
        if (xml[i] != '<') {
            const auto next = std::min(xml.find('<', i), xml.size());
            const std::string_view data = xml.substr(i, next - i);
            if (open.empty()) {
                for (char c : data)
                    if (!is_space(c)) return unreadable("text outside the root element");
            } else if (in_child) {
                if (!decode_text(data, *text)) return unreadable("a reference it does not define");
            } else {
                std::string ignored;
                if (!decode_text(data, ignored)) return unreadable("a reference it does not define");
            }
            i = next;
            continue;
        }
        const std::string_view rest = xml.substr(i);
        if (rest.starts_with("<!--")) {
            const auto end = xml.find("-->", i + 4);
            if (end == std::string_view::npos) return unreadable("a comment without its end");
            i = end + 3;
        } else if (rest.starts_with("<?")) {
            const auto end = xml.find("?>", i + 2);
            if (end == std::string_view::npos) return unreadable("a processing instruction without its end");
            i = end + 2;
        } else if (rest.starts_with("<![CDATA[")) {
            const auto end = xml.find("]]>", i + 9);
            if (end == std::string_view::npos) return unreadable("a CDATA section without its end");
            if (open.empty()) return unreadable("a CDATA section outside the root element");
            if (in_child) *text += xml.substr(i + 9, end - i - 9);
            i = end + 3;
        } else if (rest.starts_with("<!")) {
            return unreadable("a declaration (such as a document type) it does not take");
        } else if (rest.starts_with("</")) {
            auto tag = read_tag(xml, i + 2);
            if (!tag || tag->self_closing || open.empty() || open.back() != tag->name)
                return unreadable("an end tag that does not match");
            open.pop_back();
            if (open.size() == 1) in_child = false;
            i = tag->next;
        } else {
            auto tag = read_tag(xml, i + 1);
            if (!tag) return unreadable("a tag without its end");
            if (open.empty() && root_seen) return unreadable("more than one root element");
            if (in_child) return unreadable("an element inside <" + std::string(child) + ">");
            if (open.size() == 1 && tag->name == child) {
                if (text) return unreadable("<" + std::string(child) + "> more than once");
                text.emplace();
                in_child = !tag->self_closing;
            }
            root_seen = true;
            if (!tag->self_closing) open.push_back(tag->name);
            i = tag->next;
        }
    }
    if (!root_seen) return unreadable("no root element");
    if (!open.empty()) return unreadable("the root element is not closed");
    return text;
}

}  // namespace qm
