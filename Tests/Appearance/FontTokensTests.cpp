#include "OrvexCore/Appearance/FontTokens.hpp"

#include <gtest/gtest.h>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"

using OrvexCore::AppSettings;
using OrvexCore::FontTokens;
using OrvexCore::MemoryUserDefaults;

TEST(FontTokensTests, DerivedSizesFollowTheInterfaceSizeWithAFloorOfEight) {
    struct Case {
        double ui, secondary, small, icon;
    };
    const std::vector<Case> cases{
        {12, 10, 9, 11}, {10, 8, 8, 9}, {9, 8, 8, 8}, {24, 22, 21, 23}, {11.5, 9.5, 8.5, 10.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ui);
        FontTokens tokens(c.ui, 13, "", "", true);
        EXPECT_EQ(tokens.secondarySize(), c.secondary);
        EXPECT_EQ(tokens.smallSize(), c.small);
        EXPECT_EQ(tokens.iconSize(), c.icon);
    }
}

// The settings' own defaults are checked by AppSettingsTests.AnEmptyStoreGivesEveryDefault.
TEST(FontTokensTests, DefaultTokensAreThoseOfSettingsOverAnEmptyStore) {
    EXPECT_EQ(FontTokens::defaultTokens(),
              FontTokens::from(AppSettings(std::make_shared<MemoryUserDefaults>())));
}

TEST(FontTokensTests, TokensFromSettingsCarryTheRepairedFontSettings) {
    AppSettings settings(std::make_shared<MemoryUserDefaults>());
    settings.setUiFontSize(4); // held at 10
    settings.setCodeFontSize(16);
    settings.setUiFontFamily("Inter");
    settings.setCodeFontFamily("Iosevka");
    settings.setFontSmoothingEnabled(false);
    EXPECT_EQ(FontTokens::from(settings), FontTokens(10, 16, "Inter", "Iosevka", false));
}
