#include "OrvexCore/Util/JSONString.hpp"

#include <array>

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

/// Bytes copied as they are: printable ASCII other than the quote and the backslash.
constexpr std::array<bool, 256> copiedAsIs = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x80; ++c) {
        table[c] = c != '"' && c != '\\';
    }
    return table;
}();

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
// escape rather than byte by byte, and checked as UTF-8 in the same pass.
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
    while (i < size) {
        while (i < size && copiedAsIs[bytes[i]] && !(escapeSlashes && bytes[i] == '/')) {
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

} // namespace OrvexCore::JSONString
