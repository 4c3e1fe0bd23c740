#include "OrvexCore/Diff/DiffFolder.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

using namespace OrvexCore;
using Item = DiffDisplayItem;

namespace {

/// Lines view their text; the texts made here live as long as the test program.
std::string_view kept(std::string text) {
    static std::set<std::string> texts;
    return *texts.insert(std::move(text)).first;
}

DiffLine context(int n) {
    return {DiffLineKind::context, n, n, kept("c" + std::to_string(n))};
}
DiffLine addition(int n) {
    return {DiffLineKind::addition, std::nullopt, n, kept("a" + std::to_string(n))};
}
DiffLine header() {
    return {DiffLineKind::hunkHeader, std::nullopt, std::nullopt, "@@ -1 +1 @@"};
}

/// Context lines numbered from..to.
std::vector<DiffLine> run(int from, int to) {
    std::vector<DiffLine> lines;
    for (int n = from; n <= to; ++n) {
        lines.push_back(context(n));
    }
    return lines;
}

std::vector<DiffLine> concat(std::initializer_list<std::vector<DiffLine>> parts) {
    std::vector<DiffLine> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(DiffFolderTests, ThresholdBoundaries) {
    struct Case {
        int runLength;
        std::int64_t threshold;
        std::vector<Item> expected;
    };
    auto shown = [](int n) { return Item::line(context(n)); };
    const Case cases[] = {
        {3, 3, {shown(1), shown(2), shown(3)}},
        {4, 3, {shown(1), Item::collapsed(2, 1), shown(4)}},
        {2, 1, {shown(1), Item::collapsed(0, 1), shown(2)}},
        // Below 1 the threshold is 1: a single line is never shown twice around a fold of
        // minus one line.
        {1, 0, {shown(1)}},
        {1, -5, {shown(1)}},
        {2, 0, {shown(1), Item::collapsed(0, 1), shown(2)}},
        {3, std::numeric_limits<std::int64_t>::min(), {shown(1), Item::collapsed(1, 1), shown(3)}},
        {3, std::numeric_limits<std::int64_t>::max(), {shown(1), shown(2), shown(3)}},
        {0, 3, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiffFolder::fold(run(1, c.runLength), c.threshold), c.expected)
            << c.runLength << " lines, threshold " << c.threshold;
    }
}

TEST(DiffFolderTests, NoticeLinesFoldWithContextAndOtherKindsNever) {
    DiffLine notice{DiffLineKind::context, std::nullopt, std::nullopt, "\\ No newline"};
    auto lines = concat({run(1, 2), {notice}, {addition(3), addition(4), addition(5)}});
    EXPECT_EQ(DiffFolder::fold(lines, 2),
              (std::vector<Item>{Item::line(context(1)), Item::collapsed(1, 1), Item::line(notice),
                                 Item::line(addition(3)), Item::line(addition(4)),
                                 Item::line(addition(5))}));
    std::vector<DiffLine> noContext{header(), addition(1), addition(2)};
    EXPECT_EQ(DiffFolder::flatten(DiffFolder::fold(noContext, 1)), noContext);
}

TEST(DiffFolderTests, DisplayLinesOpensOnlyTheNamedFold) {
    auto lines = concat({run(1, 5), {addition(6)}, run(7, 12)});
    auto folded = DiffFolder::fold(lines, 2);
    ASSERT_EQ(folded[1], Item::collapsed(3, 1));
    ASSERT_EQ(folded[5], Item::collapsed(4, 2));

    auto closed =
        std::vector<DiffLine>{context(1), context(5), addition(6), context(7), context(12)};
    EXPECT_EQ(DiffFolder::displayLines(lines, 2, std::nullopt), closed);
    EXPECT_EQ(DiffFolder::displayLines(lines, 2, 3), closed);
    EXPECT_EQ(DiffFolder::displayLines(lines, 2, 0), closed);
    EXPECT_EQ(DiffFolder::displayLines(lines, 2, 2),
              concat({{context(1), context(5), addition(6)}, run(7, 12)}));
    EXPECT_EQ(DiffFolder::displayLines(lines, 2, 1),
              concat({run(1, 5), {addition(6), context(7), context(12)}}));
}

// For random inputs and thresholds, each fold's marker and displayLines agree: opening fold
// k shows exactly the lines its marker hides, in place.
TEST(DiffFolderTests, FoldNumbersAgreeWithDisplayLines) {
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        std::vector<DiffLine> lines;
        int count = static_cast<int>(random() % 40);
        for (int n = 1; n <= count; ++n) {
            lines.push_back(random() % 4 == 0 ? addition(n) : context(n));
        }
        std::int64_t threshold = static_cast<std::int64_t>(random() % 6) - 1;
        auto items = DiffFolder::fold(lines, threshold);
        EXPECT_EQ(DiffFolder::flatten(items), DiffFolder::displayLines(lines, threshold, {}));

        std::int64_t folds = 0;
        std::int64_t hidden = 0;
        size_t shown = 0;
        for (const auto& item : items) {
            if (const auto* marker = item.collapsedIfAny()) {
                EXPECT_EQ(marker->foldID, ++folds);
                EXPECT_GE(marker->count, 0);
                hidden += marker->count;
                auto open = DiffFolder::displayLines(lines, threshold, marker->foldID);
                // The hidden lines appear right after the line before the marker.
                ASSERT_EQ(open.size(),
                          DiffFolder::flatten(items).size() + static_cast<size_t>(marker->count));
                for (std::int64_t k = 0; k < marker->count; ++k) {
                    EXPECT_EQ(open[shown + static_cast<size_t>(k)],
                              lines[static_cast<size_t>(*open[shown - 1].oldLine + k)]);
                }
            } else {
                ++shown;
            }
        }
        EXPECT_EQ(static_cast<std::int64_t>(DiffFolder::flatten(items).size()) + hidden,
                  static_cast<std::int64_t>(lines.size()));
    }
}

} // namespace
