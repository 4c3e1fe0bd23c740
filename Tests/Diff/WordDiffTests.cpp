#include "OrvexCore/Diff/WordDiff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "OrvexCore/Util/Text.hpp"

using namespace OrvexCore;

namespace OrvexCore {
void PrintTo(const WordSpan& span, std::ostream* out) {
    *out << (span.changed ? "changed(\"" : "same(\"") << span.text << "\")";
}
} // namespace OrvexCore
using Spans = std::vector<WordSpan>;
using Tokens = std::vector<std::string>;

namespace {

WordSpan same(std::string text) {
    return {std::move(text), false};
}
WordSpan changed(std::string text) {
    return {std::move(text), true};
}

std::string repeated(std::string_view piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

/// The spans of both sides of `old` against `new_`.
void expectSpans(const std::string& old, const std::string& new_, const Spans& expectedOld,
                 const Spans& expectedNew) {
    auto [oldSpans, newSpans] = WordDiff::diff(old, new_);
    EXPECT_EQ(oldSpans, expectedOld);
    EXPECT_EQ(newSpans, expectedNew);
}

TEST(WordDiffTests, DiffCases) {
    struct Case {
        const char* name;
        std::string old;
        std::string new_;
        Spans expectedOld;
        Spans expectedNew;
    };
    std::string limitOld = repeated("w ", 1000); // 2,000 tokens: still compared
    std::string limitNew = "v " + repeated("w ", 999);
    std::string overOld = repeated("w ", 1000) + "w"; // 2,001 tokens
    const Case cases[] = {
        {"ChangedWord",
         "let x = 1",
         "let y = 1",
         {same("let "), changed("x"), same(" = 1")},
         {same("let "), changed("y"), same(" = 1")}},
        {"Equal", "same text", "same text", {same("same text")}, {same("same text")}},
        {"BothEmpty", "", "", {same("")}, {same("")}},
        // Canonically equal: unchanged, and each side keeps its own bytes.
        {"CanonicallyEqual",
         "caf\xC3\xA9",
         "cafe\xCC\x81",
         {same("caf\xC3\xA9")},
         {same("cafe\xCC\x81")}},
        {"CanonicallyEqualWord",
         "x caf\xC3\xA9",
         "y cafe\xCC\x81",
         {changed("x"), same(" caf\xC3\xA9")},
         {changed("y"), same(" cafe\xCC\x81")}},
        {"EmptyOld", "", "new text", {}, {changed("new text")}},
        {"EmptyNew", "old text", "", {changed("old text")}, {}},
        {"AtTheLimit",
         limitOld,
         limitNew,
         {changed("w"), same(" " + repeated("w ", 999))},
         {changed("v"), same(" " + repeated("w ", 999))}},
        {"OverTheLimit", overOld, "w", {changed(overOld)}, {changed("w")}},
        {"OverTheLimitAgainstEmpty", overOld, "", {changed(overOld)}, {}},
        {"TieSkipsOldFirst", "a b", "b a", {changed("a "), same("b")}, {same("b"), changed(" a")}},
        {"CRLFIsOneToken",
         "a\r\n",
         "b\r\n",
         {changed("a"), same("\r\n")},
         {changed("b"), same("\r\n")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectSpans(c.old, c.new_, c.expectedOld, c.expectedNew);
    }
}

TEST(WordDiffTests, TokenizeCases) {
    struct Case {
        std::string text;
        Tokens expected;
    };
    const Case cases[] = {
        {"foo_bar2", {"foo_bar2"}},
        {"a.b", {"a", ".", "b"}},
        {"a  b", {"a", " ", " ", "b"}},
        {"", {}},
        {"x\r\ny\tz", {"x", "\r\n", "y", "\t", "z"}},
        {"\xE6\x97\xA5\xE6\x9C\xAC text", {"\xE6\x97\xA5\xE6\x9C\xAC", " ", "text"}},
        {"e\xCC\x81t\xC3\xA9", {"e\xCC\x81t\xC3\xA9"}},                     // marks stay in words
        {"\xD9\xA3\xE2\x85\xAB\xC2\xBD", {"\xD9\xA3\xE2\x85\xAB\xC2\xBD"}}, // Nd, Nl, No
        {"+\xCC\x81x", {"+\xCC\x81", "x"}}, // a mark on punctuation stays with it
        {"a\xE2\x82\xAC"
         "b",
         {"a", "\xE2\x82\xAC", "b"}}, // euro sign: a symbol
        {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB!",
         {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", "!"}}, // one emoji sequence
        {"\xFF"
         "ab\xFE",
         {"\xFF", "ab", "\xFE"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WordDiff::tokenize(c.text), c.expected) << c.text;
    }
}

// Which tokens match is compared with the reference walk in RandomPairsGiveConsistentSpans.
TEST(WordDiffTests, SpansJoinRunsOfLikeTokens) {
    EXPECT_EQ(WordDiff::spans({"a", "b", "c"}, {1}),
              (Spans{changed("a"), same("b"), changed("c")}));
    EXPECT_EQ(WordDiff::spans({"a", "b", "c"}, {2, 0, 1, 9}), (Spans{same("abc")}));
    EXPECT_EQ(WordDiff::spans({}, {0}), Spans{});
}

/// The walk exactly as described: a full table with its zero row and column, tokens compared
/// by their normalised forms. The implementation under test skips the common prefix, stores
/// no border and compares numbers; both must choose the same tokens.
std::pair<WordDiff::IndexSet, WordDiff::IndexSet> referenceMatches(const Tokens& a,
                                                                   const Tokens& b) {
    size_t n = a.size();
    size_t m = b.size();
    std::vector<std::vector<int>> L(n + 1, std::vector<int>(m + 1, 0));
    auto eq = [&](size_t i, size_t j) { return Text::nfc(a[i]) == Text::nfc(b[j]); };
    for (size_t i = n; i-- > 0;) {
        for (size_t j = m; j-- > 0;) {
            L[i][j] = eq(i, j) ? L[i + 1][j + 1] + 1 : std::max(L[i + 1][j], L[i][j + 1]);
        }
    }
    std::pair<WordDiff::IndexSet, WordDiff::IndexSet> result;
    size_t i = 0;
    size_t j = 0;
    while (i < n && j < m) {
        if (eq(i, j)) {
            result.first.push_back(i++);
            result.second.push_back(j++);
        } else if (L[i + 1][j] >= L[i][j + 1]) {
            ++i;
        } else {
            ++j;
        }
    }
    return result;
}

std::string randomLine(std::mt19937& random) {
    // Separated by '|': words, numbers, spaces, punctuation, composed and decomposed text,
    // marks, bad bytes.
    static const auto pieces =
        Text::split("let|x|y|foo_bar|42| | |  |=|;|(|)|.|caf\xC3\xA9|cafe\xCC\x81|"
                    "\xE6\x97\xA5|\xF0\x9F\x98\x80|\xCC\x81|\xFF|\t|\r",
                    '|', false);
    std::string line;
    size_t count = random() % 25;
    for (size_t i = 0; i < count; ++i) {
        line += pieces[random() % pieces.size()];
    }
    return line;
}

/// A random variation of `line`: some tokens dropped, replaced or inserted.
std::string mutated(const std::string& line, std::mt19937& random) {
    std::string result;
    for (const auto& token : WordDiff::tokenize(line)) {
        switch (random() % 6) {
        case 0:
            break;
        case 1:
            result += randomLine(random).substr(0, 4);
            break;
        case 2:
            result += token + " z";
            break;
        default:
            result += token;
        }
    }
    return result;
}

void expectWellFormed(const Spans& spans, const std::string& input) {
    std::string joined;
    for (size_t i = 0; i < spans.size(); ++i) {
        joined += spans[i].text;
        if (i > 0) {
            EXPECT_NE(spans[i].changed, spans[i - 1].changed);
        }
    }
    EXPECT_EQ(joined, input);
}

Tokens unchangedTokens(const Spans& spans) {
    Tokens tokens;
    for (const auto& span : spans) {
        if (!span.changed) {
            for (auto& token : WordDiff::tokenize(span.text)) {
                tokens.push_back(Text::nfc(token));
            }
        }
    }
    return tokens;
}

TEST(WordDiffTests, RandomPairsGiveConsistentSpans) {
    std::mt19937 random(3);
    for (int round = 0; round < 2000; ++round) {
        std::string old = randomLine(random);
        std::string new_ = random() % 2 ? mutated(old, random) : randomLine(random);
        SCOPED_TRACE(old + " | " + new_);
        auto [oldSpans, newSpans] = WordDiff::diff(old, new_);
        expectWellFormed(oldSpans, old);
        expectWellFormed(newSpans, new_);
        EXPECT_EQ(unchangedTokens(oldSpans), unchangedTokens(newSpans));

        auto a = WordDiff::tokenize(old);
        auto b = WordDiff::tokenize(new_);
        std::string joined;
        for (const auto& token : a) {
            joined += token;
        }
        EXPECT_EQ(joined, old);
        EXPECT_EQ(WordDiff::lcsMatches(a, b), referenceMatches(a, b));
    }
}

TEST(WordDiffTests, LongAndBrokenLinesNeverFault) {
    std::string longWord(100'000, 'q');
    expectSpans(longWord, longWord + "!", {same(longWord)}, {same(longWord), changed("!")});
    std::string longLine = repeated("ab ", 33'334);
    expectSpans(longLine, "x" + longLine, {changed(longLine)}, {changed("x" + longLine)});
    std::string marks = "e" + repeated("\xCC\x81", 50'000);
    expectSpans(marks, marks + " e", {same(marks)}, {same(marks), changed(" e")});

    std::string bytes = "\xC3\x28\xA0\xA1\xE2\x28\xA1\xF0\x28\x8C\xBC \xED\xA0\x80";
    auto [g, h] = WordDiff::diff(bytes, bytes.substr(3));
    expectWellFormed(g, bytes);
    expectWellFormed(h, bytes.substr(3));
}

// A word that is one letter carrying a long run of marks of two classes: canonical ordering
// has to move half of them. Comparing such lines must cost about what same-length plain lines
// do (normalising the marks one exchange at a time took minutes on lines of 128 KB); here the
// words are still compared by canonical equivalence.
TEST(WordDiffTests, LongMixedMarkRunsCompareByCanonicalEquivalence) {
    const int pairs = 4096; // 16 KB of marks
    std::string aboveFirst = "a";
    std::string belowFirst = "a";
    for (int i = 0; i < pairs; ++i) {
        aboveFirst += "\xCC\x81\xCC\x96"; // U+0301 (class 230), U+0316 (class 220)
        belowFirst += "\xCC\x96\xCC\x81"; // the same marks, canonically the same order
    }
    expectSpans("x " + aboveFirst, "y " + belowFirst, {changed("x"), same(" " + aboveFirst)},
                {changed("y"), same(" " + belowFirst)});

    // One mark more is another word.
    expectSpans("x " + aboveFirst, "x " + belowFirst + "\xCC\x81",
                {same("x "), changed(aboveFirst)}, {same("x "), changed(belowFirst + "\xCC\x81")});

    // Whole lines canonically equal are equal, also past the token limit.
    const std::string words = repeated("w ", 1000);
    expectSpans(words + aboveFirst, words + belowFirst, {same(words + aboveFirst)},
                {same(words + belowFirst)});
}

// Per-thread buffers carry nothing from one call to the next: the same pair gives the same
// spans whatever was compared before it on that thread, and on other threads at once.
TEST(WordDiffTests, ResultsDoNotDependOnEarlierCalls) {
    const std::pair<std::string, std::string> pairs[] = {
        {"let x = 1", "let y = 1"},
        {"caf\xC3\xA9 ok", "cafe\xCC\x81 no"},
        {repeated("alpha beta ", 150), repeated("beta alpha ", 150)},
        {"\xE6\x97\xA5\xE6\x9C\xAC x", "\xE6\x97\xA5 x"},
        {"", "new"},
    };
    std::vector<std::pair<Spans, Spans>> expected;
    for (const auto& [old, new_] : pairs) {
        expected.push_back(WordDiff::diff(old, new_));
    }
    auto check = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int round = 0; round < 200; ++round) {
            size_t k = random() % std::size(pairs);
            ASSERT_EQ(WordDiff::diff(pairs[k].first, pairs[k].second), expected[k]) << k;
        }
    };
    std::thread other(check, 1u);
    check(2u);
    other.join();
}

} // namespace
