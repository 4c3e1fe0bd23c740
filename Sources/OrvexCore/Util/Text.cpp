#include "OrvexCore/Util/Text.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

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
    // Git output is nearly always valid: copy it whole and only walk it scalar by scalar from
    // the first byte that is not ASCII.
    size_t offset = 0;
    while (offset < bytes.size() && static_cast<unsigned char>(bytes[offset]) < 0x80) {
        ++offset;
    }
    if (offset == bytes.size()) {
        return std::string(bytes);
    }
    std::string result;
    result.reserve(bytes.size());
    result.append(bytes.substr(0, offset));
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

constexpr utf8proc_int32_t hangulFirstVowel = 0x1161;
constexpr utf8proc_int32_t hangulLastTrailing = 0x11C2;

/// A scalar that normalisation leaves alone wherever it stands: a starter (combining class 0)
/// with no canonical decomposition that never composes with a preceding character. Hangul
/// vowels and trailing consonants compose by rule rather than through the tables, so they are
/// excluded by range (from the filler U+11A7, which the composer also absorbs).
bool isInertScalar(utf8proc_int32_t scalar) {
    if (scalar < 0x300) {
        return true; // no combining marks, no decompositions that do not recompose
    }
    if (scalar >= hangulFirstVowel && scalar <= hangulLastTrailing) {
        return false;
    }
    const utf8proc_property_t* property = utf8proc_get_property(scalar);
    const bool canonicalDecomposition =
        property->decomp_seqindex != UINT16_MAX && property->decomp_type == 0;
    const bool composesWithPrevious =
        property->comb_index != UINT16_MAX && property->comb_index >= 0x8000;
    return property->combining_class == 0 && !canonicalDecomposition && !composesWithPrevious;
}

/// Scratch of `appendNormalised`, kept per thread so that normalising many short texts does
/// not allocate each time.
struct NormaliseScratch {
    std::vector<utf8proc_int32_t> scalars;
    std::vector<std::uint8_t> classes; // canonical combining class of each scalar
    std::vector<utf8proc_int32_t> sorted;
};

constexpr utf8proc_int32_t hangulFirstSyllable = 0xAC00;
constexpr utf8proc_int32_t hangulLastSyllable = 0xD7A3;

/// Appends the canonical decomposition of `scalar` with the combining class of each part.
void appendDecomposed(utf8proc_int32_t scalar, NormaliseScratch& scratch) {
    const utf8proc_property_t* property = utf8proc_get_property(scalar);
    const bool decomposes =
        (property->decomp_seqindex != UINT16_MAX && property->decomp_type == 0) ||
        (scalar >= hangulFirstSyllable && scalar <= hangulLastSyllable);
    if (!decomposes) {
        scratch.scalars.push_back(scalar);
        scratch.classes.push_back(static_cast<std::uint8_t>(property->combining_class));
        return;
    }
    // Canonical decompositions are at most four scalars long; the buffer allows for more.
    utf8proc_int32_t parts[8];
    int boundClass = 0;
    auto length = utf8proc_decompose_char(scalar, parts, 8, UTF8PROC_COMPOSE, &boundClass);
    if (length < 0 || length > 8) {
        length = 1;
        parts[0] = scalar;
    }
    for (utf8proc_ssize_t k = 0; k < length; ++k) {
        scratch.scalars.push_back(parts[k]);
        scratch.classes.push_back(
            static_cast<std::uint8_t>(utf8proc_get_property(parts[k])->combining_class));
    }
}

/// Puts each run of combining marks in canonical order: stably by combining class. utf8proc
/// does this with an exchange sort, quadratic on a long run of mixed marks; an insertion sort
/// for short runs and a counting sort by class for long ones give the same order in linear
/// time.
void orderMarks(NormaliseScratch& scratch) {
    auto& scalars = scratch.scalars;
    auto& classes = scratch.classes;
    const size_t count = scalars.size();
    size_t index = 0;
    while (index < count) {
        if (classes[index] == 0) {
            ++index;
            continue;
        }
        size_t end = index + 1;
        bool ordered = true;
        while (end < count && classes[end] != 0) {
            ordered = ordered && classes[end - 1] <= classes[end];
            ++end;
        }
        if (!ordered && end - index <= 32) {
            for (size_t i = index + 1; i < end; ++i) {
                const auto scalar = scalars[i];
                const auto cls = classes[i];
                size_t j = i;
                for (; j > index && classes[j - 1] > cls; --j) {
                    scalars[j] = scalars[j - 1];
                    classes[j] = classes[j - 1];
                }
                scalars[j] = scalar;
                classes[j] = cls;
            }
        } else if (!ordered) {
            size_t starts[257] = {};
            for (size_t i = index; i < end; ++i) {
                ++starts[classes[i] + 1];
            }
            for (size_t c = 1; c < 257; ++c) {
                starts[c] += starts[c - 1];
            }
            scratch.sorted.resize(end - index);
            for (size_t i = index; i < end; ++i) {
                scratch.sorted[starts[classes[i]]++] = scalars[i];
            }
            std::copy(scratch.sorted.begin(), scratch.sorted.end(),
                      scalars.begin() + static_cast<std::ptrdiff_t>(index));
            // Classes are not needed after ordering.
        }
        index = end;
    }
}

/// Writes `scalar` (a valid one) as UTF-8 at `out`; returns the end of what was written.
char* encodeScalar(char32_t scalar, char* out) {
    if (scalar < 0x80) {
        *out++ = static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        *out++ = static_cast<char>(0xC0 | (scalar >> 6));
        *out++ = static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (scalar >> 12));
        *out++ = static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (scalar >> 18));
        *out++ = static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (scalar & 0x3F));
    }
    return out;
}

/// Appends `valid` (valid UTF-8) in normalisation form C: canonical decomposition, canonical
/// ordering, canonical composition; the same result as utf8proc's NFC, in linear time.
void appendNormalised(std::string& result, std::string_view valid) {
    if (valid.empty()) {
        return;
    }
    thread_local NormaliseScratch scratch;
    scratch.scalars.clear();
    scratch.classes.clear();
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(valid.data());
    const auto size = static_cast<utf8proc_ssize_t>(valid.size());
    for (utf8proc_ssize_t offset = 0; offset < size;) {
        utf8proc_int32_t scalar = 0;
        offset += utf8proc_iterate(bytes + offset, size - offset, &scalar);
        appendDecomposed(scalar, scratch);
    }
    orderMarks(scratch);
    auto& scalars = scratch.scalars;
    const auto composed = utf8proc_normalize_utf32(
        scalars.data(), static_cast<utf8proc_ssize_t>(scalars.size()), UTF8PROC_COMPOSE);
    const size_t start = result.size();
    result.resize(start + 4 * static_cast<size_t>(composed));
    char* out = result.data() + start;
    for (utf8proc_ssize_t i = 0; i < composed; ++i) {
        out = encodeScalar(static_cast<char32_t>(scalars[static_cast<size_t>(i)]), out);
    }
    result.resize(static_cast<size_t>(out - result.data()));
}

void normaliseInto(std::string& result, std::string_view text) {
    // Invalid bytes are copied and the valid stretches between them normalised one by one:
    // two texts differing only in invalid bytes must stay different.
    result.reserve(result.size() + text.size());
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
}

} // namespace

bool isCertainlyNFC(std::string_view text) {
    size_t offset = 0;
    const size_t size = text.size();
    while (offset < size) {
        if (static_cast<unsigned char>(text[offset]) < 0x80) {
            ++offset;
            continue;
        }
        utf8proc_int32_t scalar = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                                  static_cast<utf8proc_ssize_t>(size - offset), &scalar);
        if (n <= 0) {
            ++offset; // an invalid byte is kept as it is and separates what is around it
            continue;
        }
        if (!isInertScalar(scalar)) {
            return false;
        }
        offset += static_cast<size_t>(n);
    }
    return true;
}

std::string_view nfc(std::string_view text, std::string& buffer) {
    if (isCertainlyNFC(text)) {
        return text;
    }
    buffer.clear();
    normaliseInto(buffer, text);
    return buffer;
}

std::string nfc(std::string_view text) {
    if (isCertainlyNFC(text)) {
        return std::string(text);
    }
    std::string result;
    normaliseInto(result, text);
    return result;
}

} // namespace OrvexCore::Text
