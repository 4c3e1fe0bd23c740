#include "OrvexCore/Diff/DiffReview.hpp"

#include <gtest/gtest.h>

namespace DiffReview = OrvexCore::DiffReview;

TEST(DiffReviewTests, FingerprintIsUnpaddedLowerCaseFnv1a) {
    struct Case {
        std::string patch;
        const char* expected;
    } cases[] = {
        {"", "cbf29ce484222325"},
        {"a", "af63dc4c8601ec8c"},
        // The hash starts with a zero nibble, which is not written.
        {"aa", "89c4307b54596b7"},
        // Bytes above 0x7F are hashed as unsigned values.
        {"\xC3\xA9", "ac21707b7181e01"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiffReview::fingerprint(c.patch), c.expected) << c.patch;
    }
}

TEST(DiffReviewTests, ToggleMarksUnmarksAndRemarksAnOutdatedEntry) {
    DiffReview::ReviewMap reviewed;
    DiffReview::toggle("a.txt", "patch 1", reviewed);
    EXPECT_TRUE(DiffReview::isReviewed("a.txt", "patch 1", reviewed));

    DiffReview::toggle("a.txt", "patch 1", reviewed);
    EXPECT_FALSE(reviewed.contains("a.txt"));

    DiffReview::toggle("a.txt", "patch 1", reviewed);
    // The file changed: the mark lapses but stays in the map.
    EXPECT_FALSE(DiffReview::isReviewed("a.txt", "patch 2", reviewed));
    EXPECT_TRUE(reviewed.contains("a.txt"));

    // Toggling with the new patch marks it again rather than unmarking it.
    DiffReview::toggle("a.txt", "patch 2", reviewed);
    EXPECT_TRUE(DiffReview::isReviewed("a.txt", "patch 2", reviewed));
    EXPECT_EQ(reviewed.at("a.txt"), DiffReview::fingerprint("patch 2"));
    EXPECT_FALSE(DiffReview::isReviewed("b.txt", "patch 2", reviewed));
}

TEST(DiffReviewTests, PruneKeepsOnlyTheListedPaths) {
    const DiffReview::ReviewMap reviewed{{"a", "1"}, {"b", "2"}, {"c", "3"}};
    EXPECT_TRUE(DiffReview::prune(reviewed, {}).empty());
    EXPECT_EQ(DiffReview::prune(reviewed, {"a", "b", "c", "d"}), reviewed);
    EXPECT_EQ(DiffReview::prune(reviewed, {"b", "x"}), (DiffReview::ReviewMap{{"b", "2"}}));
}
