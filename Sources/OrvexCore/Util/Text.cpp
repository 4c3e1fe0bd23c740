#include "OrvexCore/Util/Text.hpp"

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

} // namespace OrvexCore::Text
