// The byte format shared by the sandbox and its fake tools: a flat sequence of fields, each
// "<decimal length>:<bytes>", so any byte (NUL, newline, invalid UTF-8) survives unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qm::sb::wire {

// Where a fake tool finds its rules and writes its log, as seen inside the sandbox.
inline constexpr const char* kStateDir = "/.qm";
inline constexpr const char* kMarker = "/.qm/sandbox";  // absent: not inside a sandbox
inline constexpr const char* kCalls = "/.qm/calls";
inline constexpr const char* kLock = "/.qm/lock";
inline constexpr const char* kRulesDir = "/.qm/rules";
inline constexpr const char* kCountDir = "/.qm/count";

// Effect kinds as stored.
inline constexpr int kWrite = 0, kRemove = 1, kMakeDir = 2, kSymlink = 3;

inline void put(std::string& buf, std::string_view field) {
    buf += std::to_string(field.size());
    buf += ':';
    buf.append(field.data(), field.size());
}
inline void put(std::string& buf, long long n) { put(buf, std::to_string(n)); }

class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}
    bool done() const { return pos_ >= data_.size(); }
    // The next field, or nullopt when the data ends or is damaged.
    std::optional<std::string> field() {
        std::size_t colon = data_.find(':', pos_);
        if (colon == std::string_view::npos || colon == pos_ || colon - pos_ > 19) return std::nullopt;
        std::size_t len = 0;
        for (std::size_t i = pos_; i < colon; ++i) {
            char c = data_[i];
            if (c < '0' || c > '9') return std::nullopt;
            len = len * 10 + static_cast<std::size_t>(c - '0');
        }
        if (len > data_.size() - colon - 1) return std::nullopt;
        std::string out(data_.substr(colon + 1, len));
        pos_ = colon + 1 + len;
        return out;
    }
    std::optional<long long> number() {
        auto f = field();
        if (!f || f->empty() || f->size() > 18) return std::nullopt;
        long long n = 0;
        bool neg = (*f)[0] == '-';
        for (std::size_t i = neg ? 1 : 0; i < f->size(); ++i) {
            char c = (*f)[i];
            if (c < '0' || c > '9') return std::nullopt;
            n = n * 10 + (c - '0');
        }
        return neg ? -n : n;
    }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

}  // namespace qm::sb::wire
