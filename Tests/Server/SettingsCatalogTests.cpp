// The settings as the page edits them: values run through the settings' own repair, the
// answer says what a repair did, and values of the wrong type are refused untouched.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "OrvexServer/SettingsCatalog.hpp"

using nlohmann::json;
using OrvexCore::AppSettings;
using OrvexCore::MemoryUserDefaults;
namespace Catalog = OrvexServer::SettingsCatalog;

namespace {

struct Fixture {
    std::shared_ptr<MemoryUserDefaults> store = std::make_shared<MemoryUserDefaults>();
    AppSettings settings{store};
};

const std::string uuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

} // namespace

TEST(SettingsCatalog, DefaultsAndValuesAgreeWithTheSettingsOnAnEmptyStore) {
    Fixture f;
    auto described = Catalog::describe(f.settings, *f.store);
    ASSERT_FALSE(described.empty());
    for (const auto& item : described) {
        const std::string key = item["key"];
        SCOPED_TRACE(key);
        EXPECT_EQ(item["value"], item["default"]);
        EXPECT_FALSE(item["custom"].get<bool>());
        EXPECT_FALSE(item["explanation"].get<std::string>().empty());
        if (item["kind"] == "number" || item["kind"] == "integer") {
            EXPECT_LE(item["min"].get<double>(), item["default"].get<double>());
            EXPECT_GE(item["max"].get<double>(), item["default"].get<double>());
        }
        if (item["kind"] == "choice") {
            bool listed = false;
            for (const auto& choice : item["choices"]) {
                listed = listed || choice["value"] == item["default"];
            }
            EXPECT_TRUE(listed);
        }
        // The default assigned back is stored as it is, with no repair to tell.
        auto assigned = Catalog::assign(f.settings, key, item["default"]);
        EXPECT_EQ(assigned.value, item["default"]);
        EXPECT_FALSE(assigned.repair.has_value()) << *assigned.repair;
    }
    for (const auto& item : Catalog::describe(f.settings, *f.store)) {
        EXPECT_TRUE(item["custom"].get<bool>()) << item["key"];
    }
    EXPECT_EQ(Catalog::fontTokens(f.settings)["secondarySize"], 10.0);
}

TEST(SettingsCatalog, RepairedValuesAreStoredAndTheAnswerSaysWhatTheyBecame) {
    const std::string home = OrvexCore::Paths::homeDirectory();
    const std::string fallback = AppSettings::sanitizedSessionsRoot("");
    struct Row {
        std::string key;
        json given;
        json stored;
        std::string note; // a part of the repair note; empty: no repair
    };
    const std::vector<Row> rows{
        {"uiFontSize", 40, 24.0, "40 is outside 10 to 24: set to 24"},
        {"uiFontSize", 15.5, 15.5, ""},
        {"codeFontSize", 3, 9.0, "outside 9 to 24"},
        {"newBranchRows", 0, 1, "0 is outside 1 to 6: set to 1"},
        {"newBranchRows", 3.0, 3, ""},
        // Far past the range of int: the nearest end, not a wrapped-around number.
        {"newBranchCols", 1e12, 6, "set to 6"},
        {"newBranchCols", -5000000000LL, 1, "set to 1"},
        {"diffPanelWidthFraction", 0.9, 0.75, "outside 0.15 to 0.75: set to 0.75"},
        {"activityQuietSeconds", 0, 0.2, "set to 0.2"},
        {"webPort", 80, 0, "80 is outside 0 or 1024 to 65535: set to 0"},
        {"webPort", 8080, 8080, ""},
        {"theme", "blue", "system", "'blue' is not one of system, light, dark: set to system"},
        {"theme", "dark", "dark", ""},
        {"defaultEditor", "VSCode", "vscode", "not one of vscode, cursor, xcode"},
        {"newBranchCommand", "make\r\ntest", "maketest", "line breaks removed"},
        {"sessionsRootPath", "/tmp/elsewhere", fallback, "not a folder inside the home folder"},
        {"sessionsRootPath", "~/work/../trees", home + "/trees", "written in full"},
        {"sessionsRootPath", home + "/trees", home + "/trees", ""},
        {"activityQuestionPatterns", json::array({" Proceed? ", "", "ok"}),
         json::array({"Proceed?", "ok"}), "blank patterns"},
        {"collapsedWorkspaceIDs", json::array({"not-an-id", uuid}), json::array({uuid}),
         "not workspace identifiers"},
        // Letter case and order carry nothing: no repair to tell.
        {"collapsedWorkspaceIDs", json::array({"6f9619ff-8b86-d011-b42d-00c04fc964ff"}),
         json::array({uuid}), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key + " = " + row.given.dump());
        Fixture f;
        auto assigned = Catalog::assign(f.settings, row.key, row.given);
        EXPECT_EQ(assigned.value, row.stored);
        EXPECT_EQ(Catalog::value(f.settings, row.key), row.stored);
        // The store never receives the unrepaired value.
        EXPECT_EQ(f.store->object(row.key), std::optional<json>(row.stored));
        if (row.note.empty()) {
            EXPECT_FALSE(assigned.repair.has_value()) << *assigned.repair;
        } else {
            ASSERT_TRUE(assigned.repair.has_value());
            EXPECT_NE(assigned.repair->find(row.note), std::string::npos) << *assigned.repair;
        }
    }
}

TEST(SettingsCatalog, ValuesOfTheWrongTypeAndUnknownKeysAreRefusedAndNothingIsStored) {
    struct Row {
        std::string key;
        json given;
    };
    const std::vector<Row> rows{
        {"uiFontSize", "12"},
        {"uiFontSize", nullptr},
        {"newBranchRows", 2.5},
        {"newBranchRows", true},
        {"theme", 3},
        {"fontSmoothingEnabled", "true"},
        {"sessionsRootPath", json::array()},
        {"activityQuestionPatterns", json::array({"a", 1})},
        {"activityQuestionPatterns", "a"},
        {"collapsedWorkspaceIDs", json::object()},
        {"noSuchSetting", 1},
        {"diffPanelWidth", 700},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key + " = " + row.given.dump());
        Fixture f;
        try {
            Catalog::assign(f.settings, row.key, row.given);
            ADD_FAILURE() << "accepted";
        } catch (const OrvexServer::ProtocolError& e) {
            EXPECT_EQ(e.code(), "invalidParams");
            EXPECT_NE(std::string(e.what()).find(row.key), std::string::npos) << e.what();
        }
        EXPECT_FALSE(f.store->object(row.key).has_value());
    }
}
