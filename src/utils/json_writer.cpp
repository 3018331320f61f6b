#include "utils/json_writer.hpp"

#include "utils/time.hpp"

namespace qm {

std::string json_quote(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

// A new line at the current depth for the next element or member, after a ',' when it
// is not the first. A value that follows a key stays on the key's line.
void JsonWriter::before_value() {
    if (stack_.empty()) return;
    if (after_key_) {
        after_key_ = false;
        return;
    }
    Frame& f = stack_.back();
    if (f.count > 0) out_ += ',';
    out_ += '\n';
    out_.append(2 * stack_.size(), ' ');
    ++f.count;
}

void JsonWriter::close(char bracket) {
    Frame f = stack_.back();
    stack_.pop_back();
    if (f.count > 0) {
        out_ += '\n';
        out_.append(2 * stack_.size(), ' ');
    }
    out_ += bracket;
}

void JsonWriter::write_null() {
    before_value();
    out_ += "null";
}

void JsonWriter::write_bool(bool value) {
    before_value();
    out_ += value ? "true" : "false";
}

void JsonWriter::write_string(std::string_view value) {
    before_value();
    out_ += json_quote(value);
}

void JsonWriter::write_u64(std::uint64_t value) {
    before_value();
    out_ += std::to_string(value);
}

void JsonWriter::write_number_text(std::string_view text) {
    before_value();
    out_.append(text);
}

void JsonWriter::begin_object() {
    before_value();
    out_ += '{';
    stack_.push_back({true, 0});
}

void JsonWriter::key(std::string_view key) {
    before_value();
    out_ += json_quote(key);
    out_ += ": ";
    after_key_ = true;
}

void JsonWriter::end_object() { close('}'); }

void JsonWriter::begin_array() {
    before_value();
    out_ += '[';
    stack_.push_back({false, 0});
}

void JsonWriter::end_array() { close(']'); }

void write_value(JsonWriter& w, const std::string& value) { w.write_string(value); }
void write_value(JsonWriter& w, std::string_view value) { w.write_string(value); }
void write_value(JsonWriter& w, const char* value) { w.write_string(value); }
void write_value(JsonWriter& w, bool value) { w.write_bool(value); }
void write_value(JsonWriter& w, std::uint64_t value) { w.write_u64(value); }
void write_value(JsonWriter& w, std::chrono::system_clock::time_point value) {
    w.write_string(format_rfc3339(value, UtcSuffix::Z));
}

}  // namespace qm
