#include "OrvexCore/Diff/WordDiff.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::WordDiff {
namespace {

constexpr std::array<bool, 128> asciiWordCharacters = [] {
    std::array<bool, 128> table{};
    for (char32_t c = 0; c < 128; ++c) {
        table[c] =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    }
    return table;
}();

/// Appends the tokens of `text` to `tokens`, stopping once there are more than `limit`.
void tokenizeInto(std::string_view text, std::vector<std::string_view>& tokens, size_t limit) {
    constexpr size_t noWord = std::string_view::npos;
    size_t wordStart = noWord;
    size_t offset = 0;
    const size_t size = text.size();
    while (offset < size && tokens.size() <= limit) {
        auto lead = static_cast<unsigned char>(text[offset]);
        size_t end;
        bool word;
        // Plain ASCII: a character is one byte (CR LF two) unless a combining mark follows.
        if (lead < 0x80 &&
            (offset + 1 == size || static_cast<unsigned char>(text[offset + 1]) < 0x80)) {
            end = lead == '\r' && offset + 1 < size && text[offset + 1] == '\n' ? offset + 2
                                                                                : offset + 1;
            word = asciiWordCharacters[lead];
        } else {
            end = Text::graphemeEnd(text, offset);
            word = Text::isWordCharacter(text.substr(offset, end - offset));
        }
        if (word) {
            if (wordStart == noWord) {
                wordStart = offset;
            }
        } else {
            if (wordStart != noWord) {
                tokens.push_back(text.substr(wordStart, offset - wordStart));
                wordStart = noWord;
            }
            tokens.push_back(text.substr(offset, end - offset));
        }
        offset = end;
    }
    if (wordStart != noWord && tokens.size() <= limit) {
        tokens.push_back(text.substr(wordStart, offset - wordStart));
    }
}

/// Numbers tokens so that canonically equivalent ones share a number; the table then compares
/// integers instead of strings. Open addressing over a power-of-two array.
class TokenNumbers {
public:
    explicit TokenNumbers(size_t expected) {
        size_t capacity = 16;
        while (capacity < expected * 2) {
            capacity *= 2;
        }
        slots_.assign(capacity, Slot{});
        normalised_.reserve(expected); // keys point into it: it must never reallocate
    }

    std::uint32_t numberOf(std::string_view token) {
        std::string_view key = token;
        if (!Text::isASCII(token)) {
            std::string form = Text::nfc(token);
            if (form != token) {
                key = normalised_.emplace_back(std::move(form));
            }
        }
        size_t hash = std::hash<std::string_view>{}(key);
        size_t mask = slots_.size() - 1;
        for (size_t index = hash & mask;; index = (index + 1) & mask) {
            Slot& slot = slots_[index];
            if (slot.number == 0) {
                slot = Slot{key, hash, ++count_};
                return slot.number;
            }
            if (slot.hash == hash && slot.key == key) {
                return slot.number;
            }
        }
    }

private:
    struct Slot {
        std::string_view key;
        size_t hash = 0;
        std::uint32_t number = 0; // 0: empty
    };
    std::vector<Slot> slots_;
    std::vector<std::string> normalised_;
    std::uint32_t count_ = 0;
};

template <typename Token>
std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>
numbered(const std::vector<Token>& a, const std::vector<Token>& b) {
    TokenNumbers numbers(a.size() + b.size());
    std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>> result;
    result.first.reserve(a.size());
    result.second.reserve(b.size());
    for (const auto& token : a) {
        result.first.push_back(numbers.numberOf(token));
    }
    for (const auto& token : b) {
        result.second.push_back(numbers.numberOf(token));
    }
    return result;
}

/// The table holds L[i][j] for i < n and j < m only, row-major; the row and column past the
/// end are all zero and are not stored, which keeps 2,000 by 2,000 tokens at 8,000,000 bytes.
template <typename Entry>
void matchSuffixes(const std::uint32_t* a, size_t n, const std::uint32_t* b, size_t m, size_t base,
                   IndexSet& matchedA, IndexSet& matchedB) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(Entry) / m) {
        throw std::length_error("word diff table too large");
    }
    auto table = std::make_unique_for_overwrite<Entry[]>(n * m);
    std::vector<Entry> zeros(m, 0);
    for (size_t i = n; i-- > 0;) {
        Entry* row = table.get() + i * m;
        const Entry* next = i + 1 < n ? row + m : zeros.data();
        const std::uint32_t ai = a[i];
        Entry right = a[i] == b[m - 1] ? Entry(1) : next[m - 1];
        row[m - 1] = right;
        for (size_t j = m - 1; j-- > 0;) {
            Entry value =
                ai == b[j] ? static_cast<Entry>(next[j + 1] + 1) : std::max(next[j], right);
            row[j] = value;
            right = value;
        }
    }
    auto at = [&](size_t i, size_t j) -> Entry { return i < n && j < m ? table[i * m + j] : 0; };
    size_t i = 0;
    size_t j = 0;
    while (i < n && j < m) {
        if (a[i] == b[j]) {
            matchedA.push_back(base + i);
            matchedB.push_back(base + j);
            ++i;
            ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            ++i;
        } else {
            ++j;
        }
    }
}

std::pair<IndexSet, IndexSet> matchNumbers(const std::vector<std::uint32_t>& a,
                                           const std::vector<std::uint32_t>& b) {
    std::pair<IndexSet, IndexSet> matched;
    // The forward walk matches equal tokens before it looks at the table, so a common prefix
    // is matched the same with or without a table; only what follows it needs one.
    size_t prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) {
        matched.first.push_back(prefix);
        matched.second.push_back(prefix);
        ++prefix;
    }
    size_t n = a.size() - prefix;
    size_t m = b.size() - prefix;
    if (n == 0 || m == 0) {
        return matched;
    }
    if (std::min(n, m) <= std::numeric_limits<std::uint16_t>::max()) {
        matchSuffixes<std::uint16_t>(a.data() + prefix, n, b.data() + prefix, m, prefix,
                                     matched.first, matched.second);
    } else {
        matchSuffixes<std::uint32_t>(a.data() + prefix, n, b.data() + prefix, m, prefix,
                                     matched.first, matched.second);
    }
    return matched;
}

template <typename Token>
std::vector<WordSpan> spansOf(const std::vector<Token>& tokens, const IndexSet& matched) {
    std::vector<WordSpan> result;
    if (tokens.empty()) {
        return result;
    }
    std::vector<char> isMatched(tokens.size(), 0);
    for (size_t index : matched) {
        if (index < tokens.size()) {
            isMatched[index] = 1;
        }
    }
    for (size_t index = 0; index < tokens.size(); ++index) {
        bool changed = !isMatched[index];
        if (result.empty() || result.back().changed != changed) {
            result.push_back(WordSpan{std::string(tokens[index]), changed});
        } else {
            result.back().text.append(tokens[index]);
        }
    }
    return result;
}

std::vector<WordSpan> wholeSide(std::string_view text, bool changed) {
    if (text.empty()) {
        return {};
    }
    return {WordSpan{std::string(text), changed}};
}

} // namespace

std::pair<std::vector<WordSpan>, std::vector<WordSpan>> diff(std::string_view old,
                                                             std::string_view new_) {
    // Each side keeps its own text even when the two are only canonically equal, so its spans
    // still concatenate to its own input.
    if (old == new_ ||
        ((!Text::isASCII(old) || !Text::isASCII(new_)) && Text::nfc(old) == Text::nfc(new_))) {
        return {{WordSpan{std::string(old), false}}, {WordSpan{std::string(new_), false}}};
    }
    std::vector<std::string_view> oldTokens;
    std::vector<std::string_view> newTokens;
    tokenizeInto(old, oldTokens, maximumTokens);
    tokenizeInto(new_, newTokens, maximumTokens);
    if (oldTokens.size() > maximumTokens || newTokens.size() > maximumTokens) {
        return {wholeSide(old, true), wholeSide(new_, true)};
    }
    auto [oldNumbers, newNumbers] = numbered(oldTokens, newTokens);
    auto [oldMatched, newMatched] = matchNumbers(oldNumbers, newNumbers);
    return {spansOf(oldTokens, oldMatched), spansOf(newTokens, newMatched)};
}

std::vector<std::string> tokenize(std::string_view text) {
    std::vector<std::string_view> views;
    tokenizeInto(text, views, std::numeric_limits<size_t>::max() - 1);
    return {views.begin(), views.end()};
}

std::pair<IndexSet, IndexSet> lcsMatches(const std::vector<std::string>& a,
                                         const std::vector<std::string>& b) {
    if (a.empty() || b.empty()) {
        return {};
    }
    auto [aNumbers, bNumbers] = numbered(a, b);
    return matchNumbers(aNumbers, bNumbers);
}

std::vector<WordSpan> spans(const std::vector<std::string>& tokens, const IndexSet& matched) {
    return spansOf(tokens, matched);
}

std::size_t lcsTableBytes(std::size_t aCount, std::size_t bCount) {
    size_t entry = std::min(aCount, bCount) <= std::numeric_limits<std::uint16_t>::max() ? 2 : 4;
    return aCount * bCount * entry;
}

} // namespace OrvexCore::WordDiff
