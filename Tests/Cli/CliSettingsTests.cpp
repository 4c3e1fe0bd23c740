#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"

using OrvexTest::CliHome;

namespace {

nlohmann::json defaultsFile(const CliHome& home) {
    std::string text = OrvexTest::readFile(home.home() + "/config/orvex/defaults.json");
    return text.empty() ? nlohmann::json::object() : nlohmann::json::parse(text);
}

} // namespace

TEST(CliSettings, ListReadAndWriteWithRepair) {
    CliHome home;
    auto all = home.json({"settings"});
    EXPECT_EQ(all["defaultEditor"], "vscode");
    EXPECT_EQ(all["newBranchRows"], 1);
    EXPECT_EQ(all["sessionsRootPath"], home.sessionsRoot());
    EXPECT_FALSE(all.contains("isDiffPanelOpen")) << "not a stored setting";
    auto table = home.ok({"settings"});
    EXPECT_NE(table.find("newBranchCommand"), std::string::npos);

    auto clamped = home.ok({"settings", "newBranchRows", "9"});
    EXPECT_NE(clamped.find("newBranchRows = 6"), std::string::npos) << clamped;
    EXPECT_NE(clamped.find("repaired"), std::string::npos) << clamped;
    EXPECT_EQ(defaultsFile(home)["newBranchRows"], 6);
    EXPECT_EQ(home.ok({"settings", "newBranchRows"}), "6\n");

    home.ok({"settings", "defaultEditor", "cursor"});
    home.ok({"settings", "fontSmoothingEnabled", "off"});
    home.ok({"settings", "codeFontSize", "14.5"});
    home.ok({"settings", "newBranchCommand", "run\nthis"});
    auto file = defaultsFile(home);
    EXPECT_EQ(file["defaultEditor"], "cursor");
    EXPECT_EQ(file["fontSmoothingEnabled"], false);
    EXPECT_EQ(file["codeFontSize"], 14.5);
    EXPECT_EQ(file["newBranchCommand"], "runthis");

    // A root outside the home folder falls back to the default.
    auto outside = home.ok({"settings", "sessionsRootPath", "/tmp/elsewhere"});
    EXPECT_NE(outside.find(home.sessionsRoot()), std::string::npos) << outside;
    EXPECT_EQ(home.json({"settings"})["sessionsRootPath"], home.sessionsRoot());
}

TEST(CliSettings, UnknownKeysAndValuesOfTheWrongTypeAreErrors) {
    CliHome home;
    home.ok({"settings", "newBranchCols", "2"});
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases{
        {{"settings", "noSuchSetting"}, "unknown setting"},
        {{"settings", "noSuchSetting", "1"}, "unknown setting"},
        {{"settings", "newBranchCols", "three"}, "whole number"},
        {{"settings", "newBranchCols", "2.5"}, "whole number"},
        {{"settings", "uiFontSize", "big"}, "number"},
        {{"settings", "fontSmoothingEnabled", "maybe"}, "true or false"},
        {{"settings", "defaultEditor", "emacs"}, "vscode, cursor, xcode"},
        {{"settings", "theme", "sepia"}, "system, light, dark"},
        {{"settings", "collapsedWorkspaceIDs", "not-a-uuid"}, "identifier"},
    };
    for (const auto& c : cases) {
        auto result = home.run(c.args);
        EXPECT_EQ(result.status, 2) << c.args[1];
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
    auto file = defaultsFile(home);
    EXPECT_EQ(file["newBranchCols"], 2);
    EXPECT_FALSE(file.contains("defaultEditor"));
    EXPECT_FALSE(file.contains("theme"));
}
