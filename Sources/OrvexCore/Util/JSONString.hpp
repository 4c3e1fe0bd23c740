#pragma once

#include <string>
#include <string_view>

/// Writing JSON string literals straight into a buffer, for the writers that produce large
/// documents without building a JSON tree first.
namespace OrvexCore::JSONString {

/// Whether "/" is written escaped as "\/".
enum class Slashes { plain, escaped };

/// Appends `text` to `out` as a quoted JSON string: the quote, the backslash, control
/// characters (and "/" when asked) escaped as the JSON library writes them, everything else
/// copied as it is. Returns false, leaving `out` as it was, when `text` is not valid UTF-8.
bool append(std::string& out, std::string_view text, Slashes slashes);

/// True when `text` is valid UTF-8 (no overlong forms, surrogates or scalars past U+10FFFF).
/// Fast on ASCII, which it passes over eight bytes at a time.
bool isValidUTF8(std::string_view text);

} // namespace OrvexCore::JSONString
