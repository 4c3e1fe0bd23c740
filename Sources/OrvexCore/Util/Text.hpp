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

/// End offset of the extended grapheme cluster (user-perceived character) that begins at
/// `start`, which must be a cluster boundary below `text.size()`. An invalid byte counts as
/// U+FFFD, so a cluster may hold invalid bytes but every byte belongs to exactly one cluster.
size_t graphemeEnd(std::string_view text, size_t start);

/// The first user-perceived character of `text`; empty only for empty text.
std::string_view firstGrapheme(std::string_view text);

/// Every user-perceived character of `text` in order; concatenated they give `text` back.
std::vector<std::string_view> graphemes(std::string_view text);

/// True for Unicode letters (categories L*), numbers (N*) and the underscore.
bool isWordCharacter(char32_t scalar);

/// True when the first scalar of `grapheme` is a word character (so a letter carrying
/// combining marks is one). False for empty text.
bool isWordCharacter(std::string_view grapheme);

/// `text` with every scalar lower-cased by its simple (one-to-one) Unicode mapping. Invalid
/// bytes are kept as they are.
std::string lowercased(std::string_view text);

/// `text` in Unicode normalisation form C, so canonically equivalent texts compare equal
/// byte for byte. Invalid bytes are kept as they are and the valid stretches between them are
/// normalised on their own. Linear in the length of `text`, whatever it holds.
std::string nfc(std::string_view text);

/// `nfc(text)` without a copy where none is needed: `text` itself when `isCertainlyNFC(text)`,
/// else the normalised form, written to `buffer` (its previous contents are replaced). The
/// result is valid while `text` and `buffer` are unchanged.
std::string_view nfc(std::string_view text, std::string& buffer);

/// True when one quick pass shows `nfc(text)` to be `text` itself: every scalar is a starter
/// that has no canonical decomposition and cannot combine with what precedes it (all of
/// ASCII, Latin-1 and Latin Extended, most scripts without marks). False does not mean the
/// text is not normalised, only that finding out takes `nfc`.
bool isCertainlyNFC(std::string_view text);

/// True when every byte is below 0x80.
bool isASCII(std::string_view text);

} // namespace OrvexCore::Text
