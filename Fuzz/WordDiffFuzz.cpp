// Word diff on any two byte strings (the input up to its first line feed is the old line,
// the rest the new one). The spans must rebuild each side exactly, alternate between changed
// and unchanged, and keep canonically equal text on both sides unchanged; for lines short
// enough to check by hand, the common subsequence must be a longest one.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "OrvexCore/Diff/WordDiff.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

using namespace OrvexCore;

namespace {

/// Checks one side's spans against its input; returns the text of its unchanged spans.
std::string checkSide(const std::vector<WordSpan>& spans, std::string_view input) {
    std::string whole;
    std::string unchanged;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        // Spans lie within the line, in order, without overlap or gap: together they are it.
        whole += spans[i].text;
        if (!spans[i].changed) {
            unchanged += spans[i].text;
        }
        if (i > 0) {
            FUZZ_CHECK(spans[i].changed != spans[i - 1].changed);
        }
        FUZZ_CHECK(!spans[i].text.empty() || spans.size() == 1);
    }
    FUZZ_CHECK(whole == input);
    return unchanged;
}

/// Length of a longest common subsequence of two token lists compared as bytes, by the
/// textbook table; only for short ASCII lines, where byte equality is canonical equality.
std::size_t lcsLength(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::size_t> row(b.size() + 1, 0);
    for (const auto& tokenA : a) {
        std::size_t diagonal = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::size_t above = row[j + 1];
            row[j + 1] = tokenA == b[j] ? diagonal + 1 : std::max(row[j], above);
            diagonal = above;
        }
    }
    return row[b.size()];
}

void checkMatches(const WordDiff::IndexSet& matched, std::size_t count) {
    for (std::size_t i = 0; i < matched.size(); ++i) {
        FUZZ_CHECK(matched[i] < count);
        FUZZ_CHECK(i == 0 || matched[i - 1] < matched[i]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    const auto old = input.takeUntil('\n');
    const auto new_ = input.rest();

    const auto oldTokens = WordDiff::tokenize(old);
    const auto newTokens = WordDiff::tokenize(new_);
    std::string joined;
    for (const auto& token : oldTokens) {
        FUZZ_CHECK(!token.empty());
        joined += token;
    }
    FUZZ_CHECK(joined == old);

    const auto [oldSpans, newSpans] = WordDiff::diff(old, new_);
    const auto oldUnchanged = checkSide(oldSpans, old);
    const auto newUnchanged = checkSide(newSpans, new_);
    // Matched tokens are canonically equal pair by pair, so their concatenations are too.
    FUZZ_CHECK(Text::nfc(oldUnchanged) == Text::nfc(newUnchanged));

    const bool equal = old == new_ || Text::nfc(old) == Text::nfc(new_);
    if (equal) {
        FUZZ_CHECK(oldSpans.size() == 1 && !oldSpans[0].changed);
        FUZZ_CHECK(newSpans.size() == 1 && !newSpans[0].changed);
        return 0;
    }
    FUZZ_CHECK(old.empty() == oldSpans.empty());
    FUZZ_CHECK(new_.empty() == newSpans.empty());

    const bool overLimit =
        oldTokens.size() > WordDiff::maximumTokens || newTokens.size() > WordDiff::maximumTokens;
    if (overLimit) {
        FUZZ_CHECK(oldSpans.empty() || (oldSpans.size() == 1 && oldSpans[0].changed));
        FUZZ_CHECK(newSpans.empty() || (newSpans.size() == 1 && newSpans[0].changed));
        return 0;
    }

    // The pieces agree with the whole: diff is tokenize, lcsMatches and spans.
    const auto [oldMatched, newMatched] = WordDiff::lcsMatches(oldTokens, newTokens);
    FUZZ_CHECK(oldMatched.size() == newMatched.size());
    checkMatches(oldMatched, oldTokens.size());
    checkMatches(newMatched, newTokens.size());
    FUZZ_CHECK(WordDiff::spans(oldTokens, oldMatched) == oldSpans);
    FUZZ_CHECK(WordDiff::spans(newTokens, newMatched) == newSpans);
    FUZZ_CHECK(WordDiff::lcsTableBytes(oldTokens.size(), newTokens.size()) <=
               4 * (oldTokens.size() + 1) * (newTokens.size() + 1));

    if (Text::isASCII(old) && Text::isASCII(new_) && oldTokens.size() <= 200 &&
        newTokens.size() <= 200) {
        for (std::size_t i = 0; i < oldMatched.size(); ++i) {
            FUZZ_CHECK(oldTokens[oldMatched[i]] == newTokens[newMatched[i]]);
        }
        FUZZ_CHECK(oldMatched.size() == lcsLength(oldTokens, newTokens));
    }
    return 0;
}
