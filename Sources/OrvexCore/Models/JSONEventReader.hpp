#pragma once

// A strict JSON reader (RFC 8259) that hands each value to a handler as it meets it, without
// building anything: the parser under the state document's decoder. Internal to the models.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "OrvexCore/Models/DecodingError.hpp"

namespace OrvexCore {

/// Reads one JSON document from `text` and calls, in document order, the handler's
/// `null()`, `boolean(bool)`, `number_integer(std::int64_t)` (negative integers),
/// `number_unsigned(std::uint64_t)` (the others), `number_float()` (numbers with a fraction
/// or exponent, and integers beyond 64 bits), `string(std::string&)`, `start_object()`,
/// `key(std::string&)`, `end_object()`, `start_array()`, `end_array()`, and
/// `numberOutOfRange(std::string_view token)` for a number beyond the range of a double
/// (which must throw). The strings passed are the reader's buffers, valid during the call.
///
/// Text that is not one JSON value (with white space around it and an optional UTF-8 byte
/// order mark before it) throws DecodingError with an empty key path: invalid syntax, a
/// control character or invalid UTF-8 (overlong forms, surrogates) in a string, an unpaired
/// surrogate escape, content after the value. Nesting depth is not limited (no recursion).
template <class Handler> class JSONEventReader {
public:
    JSONEventReader(std::string_view text, Handler& handler)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), handler_(handler) {
    }

    void read() {
        if (end_ - p_ >= 3 && std::string_view(p_, 3) == "\xEF\xBB\xBF") {
            p_ += 3;
        }
        std::vector<char> open; // '{' or '[' per enclosing container
        for (;;) {
            // A value.
            skipSpace();
            if (p_ == end_) {
                fail("unexpected end of text, a value was expected");
            }
            switch (*p_) {
            case '{':
                ++p_;
                handler_.start_object();
                skipSpace();
                if (p_ != end_ && *p_ == '}') {
                    ++p_;
                    handler_.end_object();
                    break;
                }
                open.push_back('{');
                readKey();
                continue;
            case '[':
                ++p_;
                handler_.start_array();
                skipSpace();
                if (p_ != end_ && *p_ == ']') {
                    ++p_;
                    handler_.end_array();
                    break;
                }
                open.push_back('[');
                continue;
            case '"':
                ++p_;
                readString(buffer_);
                handler_.string(buffer_);
                break;
            case 't':
                literal("true");
                handler_.boolean(true);
                break;
            case 'f':
                literal("false");
                handler_.boolean(false);
                break;
            case 'n':
                literal("null");
                handler_.null();
                break;
            default:
                readNumber();
                break;
            }
            // After a value: close containers until one continues with a comma.
            for (;;) {
                skipSpace();
                if (open.empty()) {
                    if (p_ != end_) {
                        fail("unexpected content after the document");
                    }
                    return;
                }
                if (p_ == end_) {
                    fail("unexpected end of text inside an object or array");
                }
                const char closer = open.back() == '{' ? '}' : ']';
                if (*p_ == closer) {
                    ++p_;
                    open.pop_back();
                    closer == '}' ? handler_.end_object() : handler_.end_array();
                    continue;
                }
                if (*p_ != ',') {
                    fail(std::string("expected ',' or '") + closer + "'");
                }
                ++p_;
                if (open.back() == '{') {
                    readKey();
                }
                break;
            }
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw DecodingError("",
                            "not valid JSON: " + what + " at byte " + std::to_string(p_ - begin_));
    }

    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
            ++p_;
        }
    }

    void readKey() {
        skipSpace();
        if (p_ == end_ || *p_ != '"') {
            fail("expected a key (a string)");
        }
        ++p_;
        readString(key_);
        skipSpace();
        if (p_ == end_ || *p_ != ':') {
            fail("expected ':' after a key");
        }
        ++p_;
        handler_.key(key_);
    }

    void literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() ||
            std::string_view(p_, word.size()) != word) {
            fail("unknown literal");
        }
        p_ += word.size();
    }

    /// Reads the rest of a string (after its opening quote) into `out`.
    void readString(std::string& out) {
        out.clear();
        for (;;) {
            // Plain printable ASCII is copied in runs: nearly everything in a state file.
            const char* run = p_;
            while (p_ != end_ && static_cast<unsigned char>(*p_) >= 0x20 &&
                   static_cast<unsigned char>(*p_) < 0x80 && *p_ != '"' && *p_ != '\\') {
                ++p_;
            }
            out.append(run, static_cast<size_t>(p_ - run));
            if (p_ == end_) {
                fail("unexpected end of text inside a string");
            }
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return;
            }
            if (c == '\\') {
                ++p_;
                readEscape(out);
            } else if (c < 0x20) {
                fail("a control character must be escaped in a string");
            } else {
                readMultibyte(out);
            }
        }
    }

    void readEscape(std::string& out) {
        if (p_ == end_) {
            fail("unexpected end of text inside a string");
        }
        char c = *p_++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out.push_back(c);
            return;
        case 'b':
            out.push_back('\b');
            return;
        case 'f':
            out.push_back('\f');
            return;
        case 'n':
            out.push_back('\n');
            return;
        case 'r':
            out.push_back('\r');
            return;
        case 't':
            out.push_back('\t');
            return;
        case 'u':
            break;
        default:
            fail("invalid escape in a string");
        }
        std::uint32_t code = hex4();
        if (code >= 0xDC00 && code <= 0xDFFF) {
            fail("a low surrogate without a high one");
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
                fail("a high surrogate without a low one");
            }
            p_ += 2;
            std::uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) {
                fail("a high surrogate without a low one");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUTF8(out, code);
    }

    std::uint32_t hex4() {
        if (end_ - p_ < 4) {
            fail("unexpected end of text inside a \\u escape");
        }
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p_++;
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                fail("invalid \\u escape");
            }
        }
        return value;
    }

    static void appendUTF8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    /// One UTF-8 sequence of two to four bytes, checked as RFC 3629 defines it: no overlong
    /// forms, no surrogates, nothing beyond U+10FFFF.
    void readMultibyte(std::string& out) {
        const auto* s = reinterpret_cast<const unsigned char*>(p_);
        const size_t left = static_cast<size_t>(end_ - p_);
        auto continuation = [&](size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
            return i < left && s[i] >= low && s[i] <= high;
        };
        size_t length = 0;
        if (s[0] >= 0xC2 && s[0] <= 0xDF) {
            length = continuation(1) ? 2 : 0;
        } else if (s[0] == 0xE0) {
            length = continuation(1, 0xA0) && continuation(2) ? 3 : 0;
        } else if ((s[0] >= 0xE1 && s[0] <= 0xEC) || s[0] == 0xEE || s[0] == 0xEF) {
            length = continuation(1) && continuation(2) ? 3 : 0;
        } else if (s[0] == 0xED) {
            length = continuation(1, 0x80, 0x9F) && continuation(2) ? 3 : 0;
        } else if (s[0] == 0xF0) {
            length = continuation(1, 0x90) && continuation(2) && continuation(3) ? 4 : 0;
        } else if (s[0] >= 0xF1 && s[0] <= 0xF3) {
            length = continuation(1) && continuation(2) && continuation(3) ? 4 : 0;
        } else if (s[0] == 0xF4) {
            length = continuation(1, 0x80, 0x8F) && continuation(2) && continuation(3) ? 4 : 0;
        }
        if (length == 0) {
            fail("invalid UTF-8 in a string");
        }
        out.append(p_, length);
        p_ += length;
    }

    void readNumber() {
        const char* start = p_;
        bool negative = false;
        if (*p_ == '-') {
            negative = true;
            ++p_;
        }
        auto digits = [&] {
            const char* first = p_;
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
                ++p_;
            }
            return p_ - first;
        };
        const char* integerStart = p_;
        const auto integerDigits = digits();
        if (integerDigits == 0) {
            fail(negative ? "expected digits after '-'" : "unexpected character");
        }
        if (*integerStart == '0' && integerDigits > 1) {
            fail("a number must not start with 0");
        }
        bool isInteger = true;
        const char* fractionStart = nullptr;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            fractionStart = p_;
            if (digits() == 0) {
                fail("expected digits after '.'");
            }
            isInteger = false;
        }
        long exponent = 0;
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            bool exponentNegative = false;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                exponentNegative = *p_ == '-';
                ++p_;
            }
            const char* exponentStart = p_;
            if (digits() == 0) {
                fail("expected digits in the exponent");
            }
            // Only its size matters (below): clamp rather than overflow.
            for (const char* d = exponentStart; d != p_ && exponent < 100000; ++d) {
                exponent = exponent * 10 + (*d - '0');
            }
            exponent = exponentNegative ? -exponent : exponent;
            isInteger = false;
        }
        const std::string_view token(start, static_cast<size_t>(p_ - start));
        if (isInteger) {
            if (negative) {
                std::int64_t value = 0;
                auto [end, error] =
                    std::from_chars(token.data(), token.data() + token.size(), value);
                if (error == std::errc()) {
                    handler_.number_integer(value);
                    return;
                }
            } else {
                std::uint64_t value = 0;
                auto [end, error] =
                    std::from_chars(token.data(), token.data() + token.size(), value);
                if (error == std::errc()) {
                    handler_.number_unsigned(value);
                    return;
                }
            }
            // Beyond 64 bits: a (finite) floating-point number, as other readers take it.
        }
        double value = 0;
        auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
        if (error == std::errc::result_out_of_range) {
            // Out of range one way or the other: beyond a double when the number is 1 or more
            // (its first significant digit stands at a power of ten of 0 or more), and merely
            // rounding towards zero otherwise, which is no fault.
            long magnitude = static_cast<long>(integerDigits) - 1;
            if (*integerStart == '0') {
                magnitude = -1;
                if (fractionStart != nullptr) {
                    const char* digit = fractionStart;
                    while (digit != p_ && *digit == '0') {
                        ++digit;
                    }
                    magnitude = -static_cast<long>(digit - fractionStart) - 1;
                }
            }
            if (magnitude + exponent >= 0) {
                handler_.numberOutOfRange(token);
            }
        }
        handler_.number_float();
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    Handler& handler_;
    std::string buffer_;
    std::string key_;
};

} // namespace OrvexCore
