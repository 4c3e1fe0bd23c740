#include "OrvexCore/Models/SlugGenerator.hpp"

#include <map>
#include <regex>

#include <gtest/gtest.h>

using OrvexCore::SlugGenerator;

namespace {

const SlugGenerator calmFox{{"calm"}, {"fox"}};

std::unordered_set<std::string> takenThrough(int last) {
    std::unordered_set<std::string> taken{"calm-fox"};
    for (int n = 2; n <= last; ++n) {
        taken.insert("calm-fox-" + std::to_string(n));
    }
    return taken;
}

} // namespace

TEST(SlugGenerator, DrawsEveryWordOfBothLists) {
    SlugGenerator generator = SlugGenerator::standard();
    std::map<std::string, int> adjectives, animals;
    for (int i = 0; i < 4000; ++i) {
        std::string slug = generator.generate({});
        size_t hyphen = slug.find('-');
        ASSERT_NE(hyphen, std::string::npos) << slug;
        ASSERT_EQ(slug.find('-', hyphen + 1), std::string::npos) << slug;
        ++adjectives[slug.substr(0, hyphen)];
        ++animals[slug.substr(hyphen + 1)];
    }
    // 4000 uniform draws over 16 words give each about 250; a skewed or stuck source does not.
    for (const auto& [words, counts] : {std::pair{&SlugGenerator::defaultAdjectives, &adjectives},
                                        std::pair{&SlugGenerator::defaultAnimals, &animals}}) {
        EXPECT_EQ(counts->size(), 16u);
        for (const auto& [word, count] : *counts) {
            EXPECT_NE(std::find(words->begin(), words->end(), word), words->end()) << word;
            EXPECT_GT(count, 150) << word;
            EXPECT_LT(count, 370) << word;
        }
    }
}

TEST(SlugGenerator, NumbersTheBaseNameWhenItIsTaken) {
    EXPECT_EQ(calmFox.generate({}), "calm-fox");
    EXPECT_EQ(calmFox.generate({"calm-fox"}), "calm-fox-2");
    EXPECT_EQ(calmFox.generate({"calm-fox", "calm-fox-2"}), "calm-fox-3");
    EXPECT_EQ(calmFox.generate({"calm-fox", "calm-fox-2", "calm-fox-4"}), "calm-fox-3");
    EXPECT_EQ(calmFox.generate({"calm-fox-2"}), "calm-fox");
    EXPECT_EQ(calmFox.generate(takenThrough(998)), "calm-fox-999");
}

TEST(SlugGenerator, FallsBackToARandomHexSuffixWhenEveryNumberIsTaken) {
    std::unordered_set<std::string> taken = takenThrough(999);
    std::string first = calmFox.generate(taken);
    std::string second = calmFox.generate(taken);
    EXPECT_TRUE(std::regex_match(first, std::regex("calm-fox-[0-9a-f]{8}"))) << first;
    EXPECT_TRUE(std::regex_match(second, std::regex("calm-fox-[0-9a-f]{8}"))) << second;
    EXPECT_NE(first, second);
}

TEST(SlugGenerator, EmptyListsUseCalmAndFox) {
    EXPECT_EQ(SlugGenerator({}, {}).generate({}), "calm-fox");
    EXPECT_EQ(SlugGenerator({"bold"}, {}).generate({}), "bold-fox");
    EXPECT_EQ(SlugGenerator({}, {"owl"}).generate({"calm-owl"}), "calm-owl-2");
}

TEST(SlugGenerator, NeverReturnsATakenNameAndStaysLowerCase) {
    SlugGenerator generator = SlugGenerator::standard();
    std::unordered_set<std::string> taken;
    for (int i = 0; i < 600; ++i) {
        std::string slug = generator.generate(taken);
        ASSERT_FALSE(taken.contains(slug)) << slug;
        EXPECT_TRUE(std::regex_match(slug, std::regex("[a-z]+-[a-z]+(-[0-9]+)?"))) << slug;
        taken.insert(slug);
    }
}
