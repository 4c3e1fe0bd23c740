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
