#include "utils/xml.hpp"

#include <utility>

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

}  // namespace qm
