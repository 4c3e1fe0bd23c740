#include "OrvexCore/Util/Text.hpp"

#include <cstdlib>

#include <utf8proc.h>

namespace OrvexCore::Text {
namespace {

constexpr char32_t replacementCharacter = 0xFFFD;

/// Offset of the scalar that ends just before `end`, assuming valid UTF-8 around it; a stray
/// continuation byte counts as one scalar of its own.
size_t previousScalarStart(std::string_view text, size_t end) {
    size_t start = end - 1;
    size_t limit = end >= 4 ? end - 4 : 0;
    while (start > limit && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        --start;
    }
    return start;
}

} // namespace

bool isWhitespace(char32_t c) {
    if (c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85) {
        return true;
    }
    if (c < 0x80) {
        return false;
    }
    auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP;
}

char32_t decodeScalar(std::string_view text, size_t& offset) {
    auto lead = static_cast<unsigned char>(text[offset]);
    if (lead < 0x80) {
        ++offset;
        return lead;
    }
    utf8proc_int32_t scalar = 0;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                              static_cast<utf8proc_ssize_t>(text.size() - offset), &scalar);
    if (n <= 0) {
        ++offset;
        return replacementCharacter;
    }
    offset += static_cast<size_t>(n);
    return static_cast<char32_t>(scalar);
}

std::string_view trimmed(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t next = begin;
        if (!isWhitespace(decodeScalar(text, next))) {
            break;
        }
        begin = next;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t start = previousScalarStart(text, end);
        size_t probe = start;
        char32_t c = decodeScalar(text, probe);
        if (probe != end || !isWhitespace(c)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split(std::string_view text, char separator, bool keepEmpty) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (true) {
        size_t stop = text.find(separator, start);
        std::string_view piece = text.substr(
            start, stop == std::string_view::npos ? std::string_view::npos : stop - start);
        if (keepEmpty || !piece.empty()) {
            pieces.push_back(piece);
        }
        if (stop == std::string_view::npos) {
            break;
        }
        start = stop + 1;
    }
    return pieces;
}

std::string sanitizedUTF8(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    size_t offset = 0;
    while (offset < bytes.size()) {
        size_t start = offset;
        char32_t c = decodeScalar(bytes, offset);
        if (c == replacementCharacter &&
            !(offset - start == 3 && bytes.substr(start, 3) == "\xEF\xBF\xBD")) {
            result.append("\xEF\xBF\xBD");
        } else {
            result.append(bytes.substr(start, offset - start));
        }
    }
    return result;
}

size_t graphemeEnd(std::string_view text, size_t start) {
    const size_t size = text.size();
    if (start >= size) {
        return size;
    }
    // Two ASCII bytes are always separate characters except CR LF, so plain text never asks
    // utf8proc anything. A non-ASCII byte after an ASCII one may be a combining mark.
    auto lead = static_cast<unsigned char>(text[start]);
    if (lead < 0x80) {
        if (start + 1 == size) {
            return size;
        }
        auto next = static_cast<unsigned char>(text[start + 1]);
        if (next < 0x80) {
            return lead == '\r' && next == '\n' ? start + 2 : start + 1;
        }
    }
    size_t offset = start;
    char32_t previous = decodeScalar(text, offset);
    utf8proc_int32_t state = 0;
    while (offset < size) {
        size_t here = offset;
        char32_t scalar = decodeScalar(text, offset);
        if (utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                             static_cast<utf8proc_int32_t>(scalar), &state)) {
            return here;
        }
        previous = scalar;
    }
    return size;
}

std::string_view firstGrapheme(std::string_view text) {
    return text.substr(0, graphemeEnd(text, 0));
}

std::vector<std::string_view> graphemes(std::string_view text) {
    std::vector<std::string_view> result;
    size_t offset = 0;
    while (offset < text.size()) {
        size_t end = graphemeEnd(text, offset);
        result.push_back(text.substr(offset, end - offset));
        offset = end;
    }
    return result;
}

bool isWordCharacter(char32_t c) {
    if (c < 0x80) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    }
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
        return true;
    default:
        return false;
    }
}

bool isWordCharacter(std::string_view grapheme) {
    if (grapheme.empty()) {
        return false;
    }
    size_t offset = 0;
    return isWordCharacter(decodeScalar(grapheme, offset));
}

bool isASCII(std::string_view text) {
    unsigned char seen = 0;
    for (char c : text) {
        seen |= static_cast<unsigned char>(c);
    }
    return seen < 0x80;
}

std::string lowercased(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    size_t offset = 0;
    while (offset < text.size()) {
        auto lead = static_cast<unsigned char>(text[offset]);
        if (lead < 0x80) {
            result.push_back(lead >= 'A' && lead <= 'Z' ? static_cast<char>(lead + 32)
                                                        : static_cast<char>(lead));
            ++offset;
            continue;
        }
        utf8proc_int32_t scalar = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                                  static_cast<utf8proc_ssize_t>(text.size() - offset), &scalar);
        if (n <= 0) {
            result.push_back(text[offset]);
            ++offset;
            continue;
        }
        utf8proc_uint8_t encoded[4];
        auto length = utf8proc_encode_char(utf8proc_tolower(scalar), encoded);
        result.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
        offset += static_cast<size_t>(n);
    }
    return result;
}

namespace {

void appendNormalised(std::string& result, std::string_view valid) {
    if (valid.empty()) {
        return;
    }
    utf8proc_uint8_t* normalised = nullptr;
    auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(valid.data()),
                               static_cast<utf8proc_ssize_t>(valid.size()), &normalised,
                               static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0) {
        result.append(valid);
    } else {
        result.append(reinterpret_cast<const char*>(normalised), static_cast<size_t>(length));
    }
    std::free(normalised);
}

} // namespace

std::string nfc(std::string_view text) {
    if (isASCII(text)) {
        return std::string(text);
    }
    // utf8proc refuses a whole string for one bad byte, so the valid stretches are normalised
    // one by one and the bad bytes copied between them: two texts differing only in invalid
    // bytes must stay different.
    std::string result;
    result.reserve(text.size());
    size_t runStart = 0;
    size_t offset = 0;
    while (offset < text.size()) {
        if (static_cast<unsigned char>(text[offset]) < 0x80) {
            ++offset;
            continue;
        }
        utf8proc_int32_t scalar = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                                  static_cast<utf8proc_ssize_t>(text.size() - offset), &scalar);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        appendNormalised(result, text.substr(runStart, offset - runStart));
        result.push_back(text[offset]);
        ++offset;
        runStart = offset;
    }
    appendNormalised(result, text.substr(runStart));
    return result;
}

} // namespace OrvexCore::Text
