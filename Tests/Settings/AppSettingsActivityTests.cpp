#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"

using namespace OrvexCore;

TEST(AppSettingsActivity, QuietPeriodDefaultsAndClamps) {
    auto store = std::make_shared<MemoryUserDefaults>();
    EXPECT_EQ(AppSettings(store).activityQuietSeconds(), 1.0);
    struct Row {
        nlohmann::json stored;
        double read;
    };
    for (const auto& row : std::vector<Row>{{0.05, 0.2}, {99, 10.0}, {2.5, 2.5}, {"2", 1.0}}) {
        store->set("activityQuietSeconds", row.stored);
        EXPECT_EQ(AppSettings(store).activityQuietSeconds(), row.read) << row.stored;
    }
    AppSettings settings(store);
    settings.setActivityQuietSeconds(0);
    EXPECT_EQ(settings.activityQuietSeconds(), 0.2);
    EXPECT_EQ(store->object("activityQuietSeconds"), nlohmann::json(0.2));
    settings.setActivityQuietSeconds(std::nan(""));
    EXPECT_EQ(settings.activityQuietSeconds(), 1.0) << "not a number takes the default";
}

TEST(AppSettingsActivity, QuestionPatternsAreRepairedAndAnEmptyListIsKept) {
    auto store = std::make_shared<MemoryUserDefaults>();
    const auto defaults = AppSettings(store).activityQuestionPatterns();
    EXPECT_EQ(defaults, AppSettings::defaultActivityQuestionPatterns());
    EXPECT_NE(std::find(defaults.begin(), defaults.end(), "passphrase"), defaults.end());

    store->set("activityQuestionPatterns",
               nlohmann::json::array(
                   {"  Password ", 7, "", "   ", "press\nenter", std::string(201, 'x'), "[y/n]"}));
    EXPECT_EQ(AppSettings(store).activityQuestionPatterns(),
              (std::vector<std::string>{"Password", "pressenter", "[y/n]"}));

    store->set("activityQuestionPatterns", nlohmann::json::array());
    EXPECT_TRUE(AppSettings(store).activityQuestionPatterns().empty());
    store->set("activityQuestionPatterns", "password");
    EXPECT_EQ(AppSettings(store).activityQuestionPatterns(), defaults) << "not a list";

    AppSettings settings(store);
    settings.setActivityQuestionPatterns(std::vector<std::string>(70, "continue?"));
    EXPECT_EQ(settings.activityQuestionPatterns().size(), 64u);
    EXPECT_EQ(store->object("activityQuestionPatterns")->size(), 64u);
}
