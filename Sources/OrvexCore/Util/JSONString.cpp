#include "OrvexCore/Util/JSONString.hpp"

#include <array>
#include <cstdint>
#include <cstring>

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
std::uint64_t needsAttention(std::uint64_t word, bool escapeSlashes) {
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

void appendEscape(std::string& out, unsigned char c) {
    static constexpr char hex[] = "0123456789abcdef";
    switch (c) {
    case '"':
        out += "\\\"";
        break;
    case '\\':
        out += "\\\\";
        break;
    case '/':
        out += "\\/";
        break;
    case '\b':
        out += "\\b";
        break;
    case '\f':
        out += "\\f";
        break;
    case '\n':
        out += "\\n";
        break;
    case '\r':
        out += "\\r";
        break;
    case '\t':
        out += "\\t";
        break;
    default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
        break;
    }
}

} // namespace

// Patches run to half a megabyte, so text is copied in runs between the bytes that need an
// escape rather than byte by byte, and checked as UTF-8 in the same pass. Runs are found eight
// bytes at a time; a patch's lines are a few dozen bytes, so most of each line is passed over
// by whole words and only the last word is looked at byte by byte.
bool append(std::string& out, std::string_view text, Slashes slashes) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    const size_t rollback = out.size();
    const bool escapeSlashes = slashes == Slashes::escaped;
    // Room for a few escapes and what follows, so the buffer is not copied again.
    out.reserve(out.size() + size + size / 16 + 256);
    out += '"';
    size_t run = 0;
    size_t i = 0;
    const auto& copied = escapeSlashes ? copiedWithEscapedSlashes : copiedWithPlainSlashes;
    while (i < size) {
        while (i + 8 <= size && needsAttention(load(bytes + i), escapeSlashes) == 0) {
            i += 8;
        }
        while (i < size && copied[bytes[i]]) {
            ++i;
        }
        if (i == size) {
            break;
        }
        const unsigned char c = bytes[i];
        if (c >= 0x80) {
            size_t length = utf8SequenceLength(bytes + i, size - i);
            if (length == 0) {
                out.resize(rollback);
                return false;
            }
            i += length;
            continue;
        }
        out.append(text.data() + run, i - run);
        appendEscape(out, c);
        run = ++i;
    }
    out.append(text.data() + run, size - run);
    out += '"';
    return true;
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
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
