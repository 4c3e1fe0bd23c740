#include "OrvexCore/Diff/WordDiff.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
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

/// Buffers reused from one call to the next on the same thread: a word diff of two short
/// lines would otherwise spend most of its time allocating.
struct Scratch {
    std::vector<std::string_view> oldTokens;
    std::vector<std::string_view> newTokens;
    std::vector<std::uint32_t> oldNumbers;
    std::vector<std::uint32_t> newNumbers;
    std::vector<char> oldMatched;
    std::vector<char> newMatched;
    std::vector<std::uint16_t> table16;
    std::vector<std::uint32_t> table32;
    std::string oldForm;
    std::string newForm;

    struct Slot {
        std::string_view key;
        size_t hash = 0;
        std::uint32_t number = 0;
        std::uint32_t generation = 0; // the slot is empty unless this is the current one
    };
    std::vector<Slot> slots;
    std::uint32_t generation = 0;
    /// Normal forms of tokens that needed one; a deque, so keys into it stay put as it grows.
    std::deque<std::string> forms;
};

Scratch& scratch() {
    thread_local Scratch instance;
    return instance;
}

/// Numbers tokens so that canonically equivalent ones share a number; the table then compares
/// integers instead of strings. A one-byte ASCII token is its own number; longer ones go
/// through an open-addressing table over a power-of-two array, keyed by their normal form.
class TokenNumbers {
public:
    TokenNumbers(Scratch& scratch, size_t expected) : scratch_(scratch) {
        size_t capacity = 16;
        while (capacity < expected * 2) {
            capacity *= 2;
        }
        if (scratch_.slots.size() < capacity) {
            scratch_.slots.assign(capacity, Scratch::Slot{});
            scratch_.generation = 0;
        }
        if (++scratch_.generation == 0) { // wrapped: every stamp could look current
            std::fill(scratch_.slots.begin(), scratch_.slots.end(), Scratch::Slot{});
            scratch_.generation = 1;
        }
        mask_ = capacity - 1;
    }

    std::uint32_t numberOf(std::string_view token) {
        if (token.size() == 1 && static_cast<unsigned char>(token[0]) < 0x80) {
            return static_cast<unsigned char>(token[0]) + 1u;
        }
        std::string_view key = token;
        if (!Text::isASCII(token)) {
            if (formsUsed_ == scratch_.forms.size()) {
                scratch_.forms.emplace_back();
            }
            key = Text::nfc(token, scratch_.forms[formsUsed_]);
            if (key.data() != token.data()) {
                ++formsUsed_;
            }
        }
        const size_t hash = std::hash<std::string_view>{}(key);
        for (size_t index = hash & mask_;; index = (index + 1) & mask_) {
            Scratch::Slot& slot = scratch_.slots[index];
            if (slot.generation != scratch_.generation) {
                slot = Scratch::Slot{key, hash, ++count_, scratch_.generation};
                return slot.number;
            }
            if (slot.hash == hash && slot.key == key) {
                return slot.number;
            }
        }
    }

private:
    static constexpr std::uint32_t firstLongNumber = 129; // after the one-byte tokens
    Scratch& scratch_;
    size_t mask_ = 0;
    size_t formsUsed_ = 0;
    std::uint32_t count_ = firstLongNumber;
};

template <typename Token>
void number(const std::vector<Token>& a, const std::vector<Token>& b, Scratch& scratch) {
    TokenNumbers numbers(scratch, a.size() + b.size());
    scratch.oldNumbers.clear();
    scratch.newNumbers.clear();
    for (const auto& token : a) {
        scratch.oldNumbers.push_back(numbers.numberOf(token));
    }
    for (const auto& token : b) {
        scratch.newNumbers.push_back(numbers.numberOf(token));
    }
}

/// The table holds L[i][j] for i < n and j < m only, row-major; the row and column past the
/// end are all zero and are not stored, which keeps 2,000 by 2,000 tokens at 8,000,000 bytes.
template <typename Entry>
void matchSuffixes(const std::uint32_t* a, size_t n, const std::uint32_t* b, size_t m,
                   std::vector<Entry>& storage, char* matchedA, char* matchedB) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(Entry) / m) {
        throw std::length_error("word diff table too large");
    }
    if (storage.size() < n * m) {
        storage.resize(n * m);
    }
    Entry* const table = storage.data();
    for (size_t i = n; i-- > 0;) {
        Entry* row = table + i * m;
        const Entry* next = i + 1 < n ? row + m : nullptr;
        const std::uint32_t ai = a[i];
        if (next == nullptr) {
            // The last row: L[n-1][j] is 1 when a[n-1] occurs in b[j...].
            Entry right = 0;
            for (size_t j = m; j-- > 0;) {
                right = right != 0 || ai == b[j] ? Entry(1) : Entry(0);
                row[j] = right;
            }
            continue;
        }
        Entry right = ai == b[m - 1] ? Entry(1) : next[m - 1];
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
            matchedA[i] = 1;
            matchedB[j] = 1;
            ++i;
            ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            ++i;
        } else {
            ++j;
        }
    }
}

/// Marks in `scratch.oldMatched` and `scratch.newMatched` the tokens of the longest common
/// subsequence of the numbered sides.
void matchNumbers(Scratch& scratch) {
    const auto& a = scratch.oldNumbers;
    const auto& b = scratch.newNumbers;
    scratch.oldMatched.assign(a.size(), 0);
    scratch.newMatched.assign(b.size(), 0);
    // The forward walk matches equal tokens before it looks at the table, so a common prefix
    // is matched the same with or without a table; only what follows it needs one.
    size_t prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) {
        scratch.oldMatched[prefix] = 1;
        scratch.newMatched[prefix] = 1;
        ++prefix;
    }
    size_t n = a.size() - prefix;
    size_t m = b.size() - prefix;
    if (n == 0 || m == 0) {
        return;
    }
    if (std::min(n, m) <= std::numeric_limits<std::uint16_t>::max()) {
        matchSuffixes(a.data() + prefix, n, b.data() + prefix, m, scratch.table16,
                      scratch.oldMatched.data() + prefix, scratch.newMatched.data() + prefix);
    } else {
        matchSuffixes(a.data() + prefix, n, b.data() + prefix, m, scratch.table32,
                      scratch.oldMatched.data() + prefix, scratch.newMatched.data() + prefix);
    }
}

/// The spans of `text`, whose tokens (views into it, in order) are marked in `matched`. Each
/// span is one slice of `text`, copied once.
std::vector<WordSpan> spansOfText(std::string_view text,
                                  const std::vector<std::string_view>& tokens,
                                  const std::vector<char>& matched) {
    std::vector<WordSpan> result;
    if (tokens.empty()) {
        return result;
    }
    size_t count = 1;
    for (size_t index = 1; index < tokens.size(); ++index) {
        count += matched[index] != matched[index - 1];
    }
    result.reserve(count);
    size_t start = 0;
    for (size_t index = 1; index <= tokens.size(); ++index) {
        if (index == tokens.size() || matched[index] != matched[index - 1]) {
            const size_t from = static_cast<size_t>(tokens[start].data() - text.data());
            const size_t to = static_cast<size_t>(tokens[index - 1].data() - text.data()) +
                              tokens[index - 1].size();
            result.push_back(WordSpan{std::string(text.substr(from, to - from)), !matched[start]});
            start = index;
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

std::pair<std::vector<WordSpan>, std::vector<WordSpan>> unchanged(std::string_view old,
                                                                  std::string_view new_) {
    // Each side keeps its own text even when the two are only canonically equal, so its spans
    // still concatenate to its own input.
    std::pair<std::vector<WordSpan>, std::vector<WordSpan>> result;
    result.first.push_back(WordSpan{std::string(old), false});
    result.second.push_back(WordSpan{std::string(new_), false});
    return result;
}

} // namespace

std::pair<std::vector<WordSpan>, std::vector<WordSpan>> diff(std::string_view old,
                                                             std::string_view new_) {
    if (old == new_) {
        return unchanged(old, new_);
    }
    Scratch& buffers = scratch();
    buffers.oldTokens.clear();
    buffers.newTokens.clear();
    tokenizeInto(old, buffers.oldTokens, maximumTokens);
    tokenizeInto(new_, buffers.newTokens, maximumTokens);
    if (buffers.oldTokens.size() > maximumTokens || buffers.newTokens.size() > maximumTokens) {
        // Not compared token by token, but canonically equal lines are still equal.
        if ((!Text::isCertainlyNFC(old) || !Text::isCertainlyNFC(new_)) &&
            Text::nfc(old, buffers.oldForm) == Text::nfc(new_, buffers.newForm)) {
            return unchanged(old, new_);
        }
        return {wholeSide(old, true), wholeSide(new_, true)};
    }
    // Canonically equal lines have canonically equal tokens (decomposing, reordering marks and
    // composing never move a character boundary), so they come out of the table as one
    // unchanged span per side like equal lines; normalising whole lines first is not needed.
    number(buffers.oldTokens, buffers.newTokens, buffers);
    matchNumbers(buffers);
    return {spansOfText(old, buffers.oldTokens, buffers.oldMatched),
            spansOfText(new_, buffers.newTokens, buffers.newMatched)};
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
    Scratch& buffers = scratch();
    number(a, b, buffers);
    matchNumbers(buffers);
    std::pair<IndexSet, IndexSet> matched;
    for (size_t i = 0; i < a.size(); ++i) {
        if (buffers.oldMatched[i]) {
            matched.first.push_back(i);
        }
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (buffers.newMatched[j]) {
            matched.second.push_back(j);
        }
    }
    return matched;
}

std::vector<WordSpan> spans(const std::vector<std::string>& tokens, const IndexSet& matched) {
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
            result.push_back(WordSpan{tokens[index], changed});
        } else {
            result.back().text.append(tokens[index]);
        }
    }
    return result;
}

std::size_t lcsTableBytes(std::size_t aCount, std::size_t bCount) {
    size_t entry = std::min(aCount, bCount) <= std::numeric_limits<std::uint16_t>::max() ? 2 : 4;
    return aCount * bCount * entry;
}

} // namespace OrvexCore::WordDiff
