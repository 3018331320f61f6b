#include "utils/json_string_scan.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::json_scan {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// The bytes of a 64-byte block that matter to a string, one bit a byte (bit k: byte k).
struct BlockMasks {
    std::uint64_t quote = 0;
    std::uint64_t backslash = 0;
    std::uint64_t control = 0;
    std::uint64_t high = 0;  // not 0 when a byte is above 0x7F
};

#if defined(__SSE2__)
std::uint64_t bits(__m128i bytes, int chunk) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(bytes))) << (16 * chunk);
}

__m128i load(const char* p, int chunk) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * chunk)); }

BlockMasks block_masks(const char* p) {
    BlockMasks m;
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), last_control = _mm_set1_epi8(0x1F);
    __m128i any = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
        const __m128i v = load(p, k);
        m.quote |= bits(_mm_cmpeq_epi8(v, quote), k);
        m.backslash |= bits(_mm_cmpeq_epi8(v, backslash), k);
        m.control |= bits(_mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v), k);  // unsigned v <= 0x1F
        any = _mm_or_si128(any, v);
    }
    m.high = bits(any, 0);  // only whether there is one: which byte, the UTF-8 check finds
    return m;
}

#else
BlockMasks block_masks(const char* p) {
    BlockMasks m;
    for (int k = 0; k < 64; ++k) {
        const auto c = static_cast<unsigned char>(p[k]);
        const std::uint64_t bit = std::uint64_t{1} << k;
        if (c == '"') m.quote |= bit;
        if (c == '\\') m.backslash |= bit;
        if (c < 0x20) m.control |= bit;
        if (c >= 0x80) m.high |= bit;
    }
    return m;
}

#endif

// The bytes among `escaped` that are letters of one-letter escapes.
std::uint64_t escape_letters(const char* p, std::uint64_t escaped) {
    std::uint64_t letters = 0;
    for (; escaped != 0; escaped &= escaped - 1) {
        const int k = std::countr_zero(escaped);
        if (simple_escape(p[k]) != 0) letters |= std::uint64_t{1} << k;
    }
    return letters;
}

// The escaped bytes of a block: each byte right after a backslash that is not itself escaped.
// In a run of backslashes every second one escapes the next byte; whether the run starts on an
// even or an odd bit decides which ones, and adding the run's odd-bit start to the run carries
// that through it. `carry` says whether the block's first byte is escaped (by a backslash that
// ended the block before), and is set for the next block.
std::uint64_t escaped_bytes(std::uint64_t backslash, std::uint64_t& carry) {
    constexpr std::uint64_t kEven = 0x5555555555555555ull;
    backslash &= ~carry;  // an escaped backslash escapes nothing
    const std::uint64_t follows = backslash << 1 | carry;
    const std::uint64_t odd_starts = backslash & ~kEven & ~follows;
    const std::uint64_t sum = odd_starts + backslash;
    carry = sum < odd_starts ? 1 : 0;
    return (kEven ^ (sum << 1)) & follows;
}

}  // namespace

std::size_t PlainRuns::end_of_run(std::string_view text, std::size_t i) {
    // Eight bytes at a time while none of them ends the run.
    std::uint64_t high = 0;
    for (; text.size() - i >= sizeof(std::uint64_t); i += sizeof(std::uint64_t)) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + i, sizeof w);
        const std::uint64_t quote = w ^ (kOnes * '"');
        const std::uint64_t backslash = w ^ (kOnes * '\\');
        // A high bit is set exactly when some byte is zero (quote, backslash) or below 0x20.
        const std::uint64_t stop =
            ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | ((w - kOnes * 0x20) & ~w);
        if (stop & kHighs) break;
        high |= w;
    }
    for (; i < text.size() && !ends_plain_run(static_cast<unsigned char>(text[i])); ++i)
        high |= static_cast<unsigned char>(text[i]);
    if (high & kHighs) seen_high_ = true;
    return i;
}

std::optional<std::size_t> plain_string_end(std::string_view text, std::size_t first, bool& maybe_non_ascii) {
    std::uint64_t carry = 0;
    std::uint64_t high = 0;  // also of bytes past the end: that costs no more than a UTF-8 check
    for (std::size_t i = first; text.size() - i >= 64; i += 64) {
        const BlockMasks m = block_masks(text.data() + i);
        high |= m.high;
        const std::uint64_t escaped = escaped_bytes(m.backslash, carry);
        std::uint64_t refused = m.control;
        if (escaped != 0) refused |= escaped & ~escape_letters(text.data() + i, escaped);
        const std::uint64_t closing = m.quote & ~escaped;
        const std::uint64_t before_closing = closing != 0 ? (closing & (0 - closing)) - 1 : ~std::uint64_t{0};
        if (refused & before_closing) return std::nullopt;
        if (closing != 0) {
            maybe_non_ascii = high != 0;
            return i + static_cast<std::size_t>(std::countr_zero(closing));
        }
    }
    return std::nullopt;
}

}  // namespace qm::json_scan
