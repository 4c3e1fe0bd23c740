#include "OrvexCore/Util/JSONString.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace OrvexCore::JSONString {
namespace {

/// Length of the valid UTF-8 sequence starting at `p` (lead byte at least 0x80), or 0.
size_t utf8SequenceLength(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    auto continuation = [&](size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
    if (lead < 0xC2) {
        return 0;
    }
    if (lead < 0xE0) {
        return continuation(1) ? 2 : 0;
    }
    if (lead < 0xF0) {
        if (!continuation(1) || !continuation(2) || (lead == 0xE0 && p[1] < 0xA0) ||
            (lead == 0xED && p[1] >= 0xA0)) {
            return 0;
        }
        return 3;
    }
    if (lead < 0xF5) {
        if (!continuation(1) || !continuation(2) || !continuation(3) ||
            (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] >= 0x90)) {
            return 0;
        }
        return 4;
    }
    return 0;
}

/// Bytes copied as they are: printable ASCII other than the quote and the backslash (and "/"
/// in the second table, for slashes written escaped).
constexpr std::array<bool, 256> copiedAsIs(bool escapeSlashes) {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x80; ++c) {
        table[c] = c != '"' && c != '\\' && !(escapeSlashes && c == '/');
    }
    return table;
}
constexpr std::array<bool, 256> copiedWithPlainSlashes = copiedAsIs(false);
constexpr std::array<bool, 256> copiedWithEscapedSlashes = copiedAsIs(true);

constexpr const std::array<bool, 256>& copied(bool escapeSlashes) {
    return escapeSlashes ? copiedWithEscapedSlashes : copiedWithPlainSlashes;
}

constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;

/// Non-zero when one of the eight bytes of `word` is zero (the usual SWAR test; exact for
/// whether any byte is zero, which is all that is asked of it).
constexpr std::uint64_t hasZeroByte(std::uint64_t word) {
    return (word - ones) & ~word & highs;
}

/// Non-zero when one of the eight bytes of `word` cannot be copied as it is: a control
/// character, the quote, the backslash, "/" when slashes are escaped, or a byte of a
/// multi-byte sequence (which must be checked as UTF-8).
[[maybe_unused]] std::uint64_t needsAttention(std::uint64_t word, bool escapeSlashes) {
    // Below 0x80, a byte is a control character exactly when its bits 0x60 are both clear.
    std::uint64_t found = (word & highs) | hasZeroByte(word & (ones * 0x60));
    found |= hasZeroByte(word ^ (ones * '"')) | hasZeroByte(word ^ (ones * '\\'));
    if (escapeSlashes) {
        found |= hasZeroByte(word ^ (ones * '/'));
    }
    return found;
}

std::uint64_t load(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

/// Writes the escape of `c` (below 0x80) at `to`; returns the number of bytes written (2 or 6).
size_t writeEscape(char* to, unsigned char c) {
    static constexpr char hex[] = "0123456789abcdef";
    char letter = 0;
    switch (c) {
    case '"':
    case '\\':
    case '/':
        letter = static_cast<char>(c);
        break;
    case '\b':
        letter = 'b';
        break;
    case '\f':
        letter = 'f';
        break;
    case '\n':
        letter = 'n';
        break;
    case '\r':
        letter = 'r';
        break;
    case '\t':
        letter = 't';
        break;
    default:
        std::memcpy(to, "\\u00", 4);
        to[4] = hex[c >> 4];
        to[5] = hex[c & 0xF];
        return 6;
    }
    to[0] = '\\';
    to[1] = letter;
    return 2;
}

constexpr size_t blockBytes = 16;

/// How many of the 16 bytes at `p` can be copied as they are before the first one that
/// cannot (16 when all can).
#if defined(__SSE2__)
size_t plainPrefix(const unsigned char* p, bool escapeSlashes) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A signed compare: bytes from 0x80 up count as negative, so one test finds both the
    // control characters and the bytes of multi-byte sequences.
    __m128i found = _mm_cmplt_epi8(block, _mm_set1_epi8(0x20));
    found = _mm_or_si128(found, _mm_cmpeq_epi8(block, _mm_set1_epi8('"')));
    found = _mm_or_si128(found, _mm_cmpeq_epi8(block, _mm_set1_epi8('\\')));
    if (escapeSlashes) {
        found = _mm_or_si128(found, _mm_cmpeq_epi8(block, _mm_set1_epi8('/')));
    }
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(found));
    return mask == 0 ? blockBytes : static_cast<size_t>(std::countr_zero(mask));
}
#else
size_t plainPrefix(const unsigned char* p, bool escapeSlashes) {
    for (size_t half = 0; half < blockBytes; half += 8) {
        const std::uint64_t found = needsAttention(load(p + half), escapeSlashes);
        if (found != 0) {
            if constexpr (std::endian::native == std::endian::little) {
                return half + static_cast<size_t>(std::countr_zero(found)) / 8;
            }
            size_t i = half;
            while (copied(escapeSlashes)[p[i]]) {
                ++i;
            }
            return i;
        }
    }
    return blockBytes;
}
#endif

} // namespace

// Patches run to half a megabyte and a patch line is a few dozen bytes, each ending in a line
// feed that needs an escape, so the runs between escapes are short: they are found sixteen
// bytes at a time and copied by whole blocks straight into the output's storage (growing it
// only when escapes use up the room), with UTF-8 checked in the same pass.
bool append(std::string& out, std::string_view text, Slashes slashes) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    const size_t rollback = out.size();
    const bool escapeSlashes = slashes == Slashes::escaped;
    // Every pass of the loop below may write a whole block and then the longest escape; the
    // last one is followed by the closing quote.
    constexpr size_t slack = blockBytes + 6 + 1;
    out.resize(rollback + size + size / 16 + slack + 2);
    char* to = out.data() + rollback;
    char* limit = out.data() + out.size() - slack;
    *to++ = '"';
    size_t i = 0;
    while (i < size) {
        if (to > limit) {
            const size_t written = static_cast<size_t>(to - out.data());
            out.resize(written + (size - i) + (out.size() - rollback) / 2 + slack);
            to = out.data() + written;
            limit = out.data() + out.size() - slack;
        }
        size_t plain;
        if (size - i >= blockBytes) {
            std::memcpy(to, bytes + i, blockBytes);
            plain = plainPrefix(bytes + i, escapeSlashes);
        } else {
            plain = 0;
            while (i + plain < size && copied(escapeSlashes)[bytes[i + plain]]) {
                to[plain] = static_cast<char>(bytes[i + plain]);
                ++plain;
            }
        }
        i += plain;
        to += plain;
        if (plain == blockBytes || i == size) {
            continue;
        }
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            to += writeEscape(to, c);
            ++i;
            continue;
        }
        const size_t length = utf8SequenceLength(bytes + i, size - i);
        if (length == 0) {
            out.resize(rollback);
            return false;
        }
        std::memcpy(to, bytes + i, length);
        to += length;
        i += length;
    }
    *to++ = '"';
    out.resize(static_cast<size_t>(to - out.data()));
    return true;
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
#if defined(__SSE2__)
        // Whole cache lines of ASCII at a time: the high bits of four blocks, or-ed together.
        while (i + 64 <= size) {
            const auto* at = reinterpret_cast<const __m128i*>(bytes + i);
            const __m128i any =
                _mm_or_si128(_mm_or_si128(_mm_loadu_si128(at), _mm_loadu_si128(at + 1)),
                             _mm_or_si128(_mm_loadu_si128(at + 2), _mm_loadu_si128(at + 3)));
            if (_mm_movemask_epi8(any) != 0) {
                break;
            }
            i += 64;
        }
#endif
        while (i + 8 <= size && (load(bytes + i) & highs) == 0) {
            i += 8;
        }
        if (i < size && bytes[i] < 0x80) {
            ++i;
            continue;
        }
        if (i == size) {
            break;
        }
        size_t length = utf8SequenceLength(bytes + i, size - i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace OrvexCore::JSONString
