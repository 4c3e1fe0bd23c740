// The settings methods end to end: the real server in a throwaway home, asked over its socket
// as the page asks it, with a second client listening for the change.

#include <algorithm>

#include <poll.h>

#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Server/RemoteErrorCode.hpp"

using nlohmann::json;
using OrvexTest::CliHome;

namespace {

/// The next settingsChanged event the subscribed connection receives.
json nextSettingsEvent(OrvexServer::ServerConnection& listener) {
    for (;;) {
        pollfd ready{listener.descriptor(), POLLIN, 0};
        if (::poll(&ready, 1, 30000) <= 0) {
            return nullptr;
        }
        for (auto& event : listener.readEvents()) {
            if (event["event"] == "settingsChanged") {
                return event["data"];
            }
        }
    }
}

} // namespace

TEST(ServerSettings, ASetIsRepairedStoredAndToldToOtherClientsAndARemoveRestoresTheDefault) {
    CliHome home;
    home.ok({"settings"});
    auto page = OrvexServer::ServerConnection::connect(home.socketPath());
    auto listener = OrvexServer::ServerConnection::connect(home.socketPath());
    listener->call("subscribe", {{"events", {"settingsChanged"}}});

    auto answer = page->call("settings.set", {{"key", "uiFontSize"}, {"value", 40}});
    EXPECT_EQ(answer["value"], 24.0);
    EXPECT_EQ(answer["repair"], "40 is outside 10 to 24: set to 24");
    EXPECT_EQ(nextSettingsEvent(*listener), json({{"key", "uiFontSize"}, {"value", 24.0}}));
    // The settings file holds the repaired value: the command line reads it back.
    EXPECT_EQ(home.json({"settings"})["uiFontSize"], 24.0);

    auto described = page->call("settings.describe");
    EXPECT_EQ(described["fontTokens"]["uiSize"], 24.0);
    EXPECT_EQ(described["fontTokens"]["secondarySize"], 22.0);
    const auto& items = described["settings"];
    auto item = std::find_if(items.begin(), items.end(),
                             [](const json& i) { return i["key"] == "uiFontSize"; });
    ASSERT_NE(item, items.end());
    EXPECT_EQ((*item)["value"], 24.0);
    EXPECT_TRUE((*item)["custom"].get<bool>());

    answer = page->call("settings.set", {{"key", "theme"}, {"value", "dark"}});
    EXPECT_FALSE(answer.contains("repair")) << answer;
    EXPECT_EQ(nextSettingsEvent(*listener)["value"], "dark");

    answer = page->call("settings.remove", {{"key", "uiFontSize"}});
    EXPECT_EQ(answer["value"], 12.0);
    EXPECT_EQ(nextSettingsEvent(*listener), json({{"key", "uiFontSize"}, {"value", 12.0}}));
    EXPECT_FALSE(home.json({"settings"}).contains("noSuchSetting"));
    EXPECT_EQ(home.json({"settings"})["uiFontSize"], 12.0);
}

// Which values each setting refuses is SettingsCatalog.ValuesOfTheWrongTypeAndUnknownKeysAre-
// RefusedAndNothingIsStored's; here the server's own parameter checks and the error it sends.
TEST(ServerSettings, BadInputIsRefusedWithInvalidParamsAndChangesNothing) {
    CliHome home;
    home.ok({"settings", "newBranchRows", "3"});
    auto page = OrvexServer::ServerConnection::connect(home.socketPath());
    struct Row {
        const char* method;
        json params;
        const char* code;
    };
    const std::vector<Row> rows{
        {"settings.set", {{"key", "noSuchSetting"}, {"value", 1}}, "invalidParams"},
        {"settings.set", {{"key", "newBranchRows"}}, "invalidParams"},
        {"settings.set", {{"key", 7}, {"value", 1}}, "invalidParams"},
        {"settings.remove", {{"key", "noSuchSetting"}}, "invalidParams"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(OrvexTest::errorCode(*page, row.method, row.params), row.code)
            << row.method << " " << row.params;
    }
    EXPECT_EQ(home.json({"settings"})["newBranchRows"], 3);
}
