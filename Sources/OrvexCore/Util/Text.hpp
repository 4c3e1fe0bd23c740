#pragma once

#include <string>
#include <string_view>
#include <vector>

/// Text helpers over UTF-8 strings. Unicode classes come from utf8proc.
namespace OrvexCore::Text {

/// True for Unicode white space and line ends (tab, line feed, carriage return, vertical tab,
/// form feed, next line, and the categories Zs, Zl and Zp).
bool isWhitespace(char32_t scalar);

/// `text` without leading and trailing white space and line ends. Invalid UTF-8 is kept.
std::string_view trimmed(std::string_view text);

/// Splits at every `separator`. With `keepEmpty` false, empty pieces are dropped.
std::vector<std::string_view> split(std::string_view text, char separator, bool keepEmpty);

/// Decodes one scalar at `offset`, advancing it; invalid bytes decode as U+FFFD, one byte each.
char32_t decodeScalar(std::string_view text, size_t& offset);

/// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitizedUTF8(std::string_view bytes);

} // namespace OrvexCore::Text
