#include "OrvexCore/Settings/AppSettings.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "OrvexCore/Settings/MemoryUserDefaults.hpp"
#include "Support/ScopedEnvironment.hpp"

using nlohmann::json;
using OrvexCore::AppSettings;
using OrvexCore::AppTheme;
using OrvexCore::Editor;
using OrvexCore::MemoryUserDefaults;
using OrvexCore::ReduceMotion;
using OrvexCore::UUID;

namespace {

class AppSettingsTests : public ::testing::Test {
protected:
    OrvexTest::ScopedEnvironment home{"HOME", "/home/bob"};
    std::shared_ptr<MemoryUserDefaults> store = std::make_shared<MemoryUserDefaults>();

    std::unique_ptr<AppSettings> settingsOver(const json& contents) {
        store = std::make_shared<MemoryUserDefaults>(contents);
        return std::make_unique<AppSettings>(store);
    }
};

// Each property as JSON, so that rows of different types fit one table.
using Getter = std::function<json(const AppSettings&)>;
const Getter rows = [](const AppSettings& s) { return json(s.newBranchRows()); };
const Getter cols = [](const AppSettings& s) { return json(s.newBranchCols()); };
const Getter command = [](const AppSettings& s) { return json(s.newBranchCommand()); };
const Getter uiSize = [](const AppSettings& s) { return json(s.uiFontSize()); };
const Getter codeSize = [](const AppSettings& s) { return json(s.codeFontSize()); };
const Getter codeFamily = [](const AppSettings& s) { return json(s.codeFontFamily()); };
const Getter smoothing = [](const AppSettings& s) { return json(s.fontSmoothingEnabled()); };
const Getter editor = [](const AppSettings& s) { return json(s.defaultEditor()); };
const Getter motion = [](const AppSettings& s) { return json(s.reduceMotion()); };
const Getter theme = [](const AppSettings& s) { return json(s.theme()); };
const Getter terminalTheme = [](const AppSettings& s) { return json(s.terminalTheme()); };
const Getter root = [](const AppSettings& s) { return json(s.sessionsRootPath()); };
const Getter fraction = [](const AppSettings& s) { return json(s.diffPanelWidthFraction()); };
const Getter quiet = [](const AppSettings& s) { return json(s.activityQuietSeconds()); };
const Getter port = [](const AppSettings& s) { return json(s.webPort()); };
const Getter fold = [](const AppSettings& s) { return json(s.diffFoldThreshold()); };

} // namespace

TEST_F(AppSettingsTests, AnEmptyStoreGivesEveryDefaultAndWritesNothing) {
    AppSettings settings(store);
    EXPECT_EQ(settings.defaultEditor(), Editor::vscode);
    EXPECT_EQ(settings.newBranchRows(), 1);
    EXPECT_EQ(settings.newBranchCols(), 1);
    EXPECT_EQ(settings.newBranchCommand(), "");
    EXPECT_EQ(settings.uiFontSize(), 12.0);
    EXPECT_EQ(settings.codeFontSize(), 13.0);
    EXPECT_EQ(settings.uiFontFamily(), "");
    EXPECT_EQ(settings.codeFontFamily(), "");
    EXPECT_TRUE(settings.fontSmoothingEnabled());
    EXPECT_EQ(settings.reduceMotion(), ReduceMotion::system);
    EXPECT_EQ(settings.theme(), AppTheme::system);
    EXPECT_EQ(settings.terminalTheme(), AppTheme::system);
    EXPECT_EQ(settings.sessionsRootPath(), "/home/bob/.orvex-sessions");
    EXPECT_TRUE(settings.collapsedWorkspaceIDs().empty());
    EXPECT_FALSE(settings.isDiffPanelOpen());
    EXPECT_EQ(settings.diffPanelWidthFraction(), 0.25);
    EXPECT_FALSE(settings.hasCustomDiffPanelWidthFraction());
    EXPECT_EQ(settings.diffPanelWidth(3000), 500.0);
    EXPECT_EQ(settings.activityQuietSeconds(), 1.0);
    EXPECT_EQ(settings.activityQuestionPatterns(), AppSettings::defaultActivityQuestionPatterns());
    EXPECT_EQ(settings.webPort(), 0);
    EXPECT_EQ(settings.diffFoldThreshold(), 4);
    EXPECT_EQ(store->contents(), json::object());
}

TEST_F(AppSettingsTests, StoredValuesAreRepairedOnReadButNotWrittenBack) {
    struct Case {
        const char* key;
        json stored;
        Getter property;
        json expected;
    };
    const std::vector<Case> cases{
        {"newBranchRows", 3.0, rows, 3},
        {"newBranchRows", 3.5, rows, 1}, // not an integer: missing
        {"newBranchRows", "3", rows, 1}, // another type: missing
        {"newBranchRows", true, rows, 1},
        {"newBranchRows", 18446744073709551615ULL, rows, 6},
        {"newBranchCols", 4, cols, 4},
        {"newBranchCommand", "assistant \\\n  --resume\r\n", command, "assistant \\  --resume"},
        {"newBranchCommand", 12, command, ""},
        {"uiFontSize", false, uiSize, 12.0},
        {"fontSmoothingEnabled", false, smoothing, false},
        {"fontSmoothingEnabled", 0, smoothing, true},
        {"defaultEditor", "cursor", editor, "cursor"},
        {"defaultEditor", "xcode", editor, "xcode"},
        {"defaultEditor", "VSCode", editor, "vscode"},
        {"defaultEditor", "Cursor", editor, "vscode"},
        {"reduceMotion", "off", motion, "off"},
        {"reduceMotion", "yes", motion, "system"},
        {"theme", "dark", theme, "dark"},
        {"theme", "Dark", theme, "system"},
        {"theme", "solarized", theme, "system"},
        {"terminalTheme", "light", terminalTheme, "light"},
        {"terminalTheme", 1, terminalTheme, "system"},
        {"diffPanelWidthFraction", 0.05, fraction, 0.15},
        {"activityQuietSeconds", 99, quiet, 10.0},
        {"activityQuietSeconds", "2", quiet, 1.0},
        // Ports below 1024 or past 65535 read as "any free port".
        {"webPort", 8123, port, 8123},
        {"webPort", 1024, port, 1024},
        {"webPort", 65535, port, 65535},
        {"webPort", 80, port, 0},
        {"webPort", -1, port, 0},
        {"webPort", 65536, port, 0},
        {"webPort", "8123", port, 0},
        {"webPort", 8123.5, port, 0},
        {"diffFoldThreshold", 3, fold, 3},
        {"diffFoldThreshold", 5000, fold, 1000},
        {"diffFoldThreshold", "12", fold, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.stored.dump());
        const json contents = {{c.key, c.stored}};
        auto settings = settingsOver(contents);
        EXPECT_EQ(c.property(*settings), c.expected);
        EXPECT_EQ(store->contents(), contents);
    }
}

TEST_F(AppSettingsTests, AssignmentRepairsBeforeStoringAndNotifiesOnlyOnARealChange) {
    struct Case {
        std::function<void(AppSettings&)> assign;
        Getter property;
        const char* key;
        json expected;
        bool notifies;
    };
    auto S = [](auto setter, auto value) { return [=](AppSettings& s) { (s.*setter)(value); }; };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases{
        {S(&AppSettings::setNewBranchRows, 0), rows, "newBranchRows", 1, false},
        {S(&AppSettings::setNewBranchRows, 1), rows, "newBranchRows", 1, false},
        {S(&AppSettings::setNewBranchRows, 40), rows, "newBranchRows", 6, true},
        {S(&AppSettings::setNewBranchCols, 3), cols, "newBranchCols", 3, true},
        {S(&AppSettings::setNewBranchCols, -1), cols, "newBranchCols", 1, false},
        {S(&AppSettings::setNewBranchCommand, std::string("a\nb\rc")), command, "newBranchCommand",
         "abc", true},
        {S(&AppSettings::setNewBranchCommand, std::string("\r\n")), command, "newBranchCommand", "",
         false},
        {S(&AppSettings::setUiFontSize, 2.0), uiSize, "uiFontSize", 10.0, true},
        {S(&AppSettings::setUiFontSize, 12.0), uiSize, "uiFontSize", 12.0, false},
        {S(&AppSettings::setUiFontSize, nan), uiSize, "uiFontSize", 12.0, false},
        {S(&AppSettings::setCodeFontSize, 99.0), codeSize, "codeFontSize", 24.0, true},
        {S(&AppSettings::setTerminalFontSize, 99.0), codeSize, "codeFontSize", 24.0, true},
        {S(&AppSettings::setTerminalFontFamily, std::string("Iosevka")), codeFamily,
         "codeFontFamily", "Iosevka", true},
        {S(&AppSettings::setDiffPanelWidthFraction, 1.0), fraction, "diffPanelWidthFraction", 0.75,
         true},
        {S(&AppSettings::setDiffPanelWidthFraction, 0.25), fraction, "diffPanelWidthFraction", 0.25,
         false},
        {S(&AppSettings::setSessionsRootPath, std::string("/tmp/elsewhere")), root,
         "sessionsRootPath", "/home/bob/.orvex-sessions", false},
        {S(&AppSettings::setSessionsRootPath, std::string("~/trees/")), root, "sessionsRootPath",
         "/home/bob/trees", true},
        {S(&AppSettings::setDefaultEditor, Editor(Editor::vscode)), editor, "defaultEditor",
         "vscode", false},
        {S(&AppSettings::setDefaultEditor, Editor(Editor::xcode)), editor, "defaultEditor", "xcode",
         true},
        {S(&AppSettings::setTheme, AppTheme(AppTheme::dark)), theme, "theme", "dark", true},
        {S(&AppSettings::setTerminalTheme, AppTheme(AppTheme::system)), terminalTheme,
         "terminalTheme", "system", false},
        {S(&AppSettings::setReduceMotion, ReduceMotion(ReduceMotion::on)), motion, "reduceMotion",
         "on", true},
        {S(&AppSettings::setFontSmoothingEnabled, true), smoothing, "fontSmoothingEnabled", true,
         false},
        {S(&AppSettings::setActivityQuietSeconds, 0.0), quiet, "activityQuietSeconds", 0.2, true},
        {S(&AppSettings::setActivityQuietSeconds, nan), quiet, "activityQuietSeconds", 1.0, false},
        {S(&AppSettings::setWebPort, 22), port, "webPort", 0, false},
        {S(&AppSettings::setDiffFoldThreshold, 0LL), fold, "diffFoldThreshold", 1, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ": " + cases[i].key);
        const auto& c = cases[i];
        // A stale value under the key shows that even an unchanged assignment writes.
        auto settings = settingsOver(json::object());
        store->set(c.key, "stale");
        std::vector<json> seen;
        auto record = [&](const auto& value) { seen.push_back(json(value)); };
        std::vector<boost::signals2::scoped_connection> connections;
        auto observe = [&](const auto&... observables) {
            (connections.emplace_back(observables.observe(record)), ...);
        };
        const auto& s = *settings;
        observe(s.newBranchRowsObservable(), s.newBranchColsObservable(),
                s.newBranchCommandObservable(), s.uiFontSizeObservable(),
                s.codeFontSizeObservable(), s.codeFontFamilyObservable(),
                s.diffPanelWidthFractionObservable(), s.sessionsRootPathObservable(),
                s.defaultEditorObservable(), s.themeObservable(), s.terminalThemeObservable(),
                s.reduceMotionObservable(), s.fontSmoothingEnabledObservable(),
                s.activityQuietSecondsObservable());

        c.assign(*settings);
        EXPECT_EQ(c.property(*settings), c.expected);
        EXPECT_EQ(store->object(c.key), c.expected);
        EXPECT_EQ(seen, c.notifies ? std::vector<json>{c.expected} : std::vector<json>{});
    }
}

TEST_F(AppSettingsTests, TheOlderFontKeysSeedTheCodeFontAndAreKept) {
    auto settings = settingsOver({{"terminalFontSize", 15}, {"terminalFontFamily", "Menlo"}});
    EXPECT_EQ(settings->codeFontSize(), 15.0);
    EXPECT_EQ(settings->terminalFontSize(), 15.0);
    EXPECT_EQ(settings->codeFontFamily(), "Menlo");

    settings = settingsOver({{"terminalFontSize", 15},
                             {"codeFontSize", 30},
                             {"terminalFontFamily", "Menlo"},
                             {"codeFontFamily", ""}});
    EXPECT_EQ(settings->codeFontSize(), 24.0);
    EXPECT_EQ(settings->codeFontFamily(), "");

    settings = settingsOver({{"terminalFontSize", 40}});
    EXPECT_EQ(settings->codeFontSize(), 24.0);
    settings->setTerminalFontSize(11);
    EXPECT_EQ(store->contents(), (json{{"terminalFontSize", 40}, {"codeFontSize", 11.0}}));
}

TEST_F(AppSettingsTests, AnOlderPanelWidthInPointsMigratesToAFraction) {
    auto settings = settingsOver({{"diffPanelWidth", 700}});
    EXPECT_EQ(settings->diffPanelWidthFraction(), 0.5);
    EXPECT_EQ(store->contents(), (json{{"diffPanelWidthFraction", 0.5}}));
    EXPECT_TRUE(settings->hasCustomDiffPanelWidthFraction());
    EXPECT_EQ(settings->diffPanelWidth(2000), 1000.0);
    EXPECT_EQ(settings->diffPanelWidth(600), 500.0);
    EXPECT_EQ(settings->diffPanelWidth(0), 500.0);
    EXPECT_EQ(settings->diffPanelWidth(-2000), 500.0);

    settings = settingsOver({{"diffPanelWidth", 5000}});
    EXPECT_EQ(settings->diffPanelWidthFraction(), 0.75);
    EXPECT_EQ(store->contents(), (json{{"diffPanelWidthFraction", 0.75}}));

    // A fraction already stored wins, and the older key is left alone.
    settings = settingsOver({{"diffPanelWidthFraction", 0.3}, {"diffPanelWidth", 700}});
    EXPECT_EQ(settings->diffPanelWidthFraction(), 0.3);
    EXPECT_EQ(store->contents(), (json{{"diffPanelWidthFraction", 0.3}, {"diffPanelWidth", 700}}));

    settings = settingsOver({{"diffPanelWidth", "wide"}});
    EXPECT_EQ(settings->diffPanelWidthFraction(), 0.25);
    EXPECT_FALSE(settings->hasCustomDiffPanelWidthFraction());
}

TEST_F(AppSettingsTests, CollapsedWorkspacesKeepOnlyValidIdentifiersAndRoundTrip) {
    const UUID first, second;
    std::string lowercase = second.string();
    std::transform(lowercase.begin(), lowercase.end(), lowercase.begin(), ::tolower);
    auto settings = settingsOver({{"collapsedWorkspaceIDs", {first.string(), "nope", 7}}});
    EXPECT_EQ(settings->collapsedWorkspaceIDs(), std::set<UUID>{first});

    settings = settingsOver({{"collapsedWorkspaceIDs", {first.string(), lowercase}}});
    EXPECT_EQ(settings->collapsedWorkspaceIDs(), (std::set<UUID>{first, second}));

    settings = settingsOver({{"collapsedWorkspaceIDs", first.string()}});
    EXPECT_TRUE(settings->collapsedWorkspaceIDs().empty());

    settings->setCollapsedWorkspaceIDs({first, second});
    auto stored = store->object("collapsedWorkspaceIDs").value();
    std::sort(stored.begin(), stored.end());
    auto expected = json{first.string(), second.string()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(AppSettings(store).collapsedWorkspaceIDs(), (std::set<UUID>{first, second}));
}

TEST_F(AppSettingsTests, ThePanelsOpenStateIsNeverStored) {
    AppSettings settings(store);
    int notifications = 0;
    auto connection = settings.isDiffPanelOpenObservable().observe([&](bool) { ++notifications; });
    settings.setIsDiffPanelOpen(true);
    settings.setIsDiffPanelOpen(true);
    EXPECT_TRUE(settings.isDiffPanelOpen());
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(store->contents(), json::object());
    EXPECT_FALSE(AppSettings(store).isDiffPanelOpen());
}

TEST_F(AppSettingsTests, SessionsRootMustStayInsideTheHomeFolder) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const std::vector<Case> cases{
        {"~/work/sessions", "/home/bob/work/sessions"},
        {"~", "/home/bob"},
        {"/home/bob", "/home/bob"},
        {"/home/bob/", "/home/bob"},
        {"/home/bob/trees", "/home/bob/trees"},
        {"/home/bob/./a/../b//", "/home/bob/b"},
        {"/home/bobby/trees", "/home/bob/.orvex-sessions"}, // shares only a string prefix
        {"~/../../tmp", "/home/bob/.orvex-sessions"},       // leaves the home folder
        {"/home/bob/../alice", "/home/bob/.orvex-sessions"},
        {"/tmp/sessions", "/home/bob/.orvex-sessions"},
        {"relative/sessions", "/home/bob/.orvex-sessions"},
        {"~bob/sessions", "/home/bob/.orvex-sessions"},
        {"", "/home/bob/.orvex-sessions"},
        {"/", "/home/bob/.orvex-sessions"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(AppSettings::sanitizedSessionsRoot(c.path), c.expected);
        EXPECT_EQ(settingsOver({{"sessionsRootPath", c.path}})->sessionsRootPath(), c.expected);
    }

    OrvexTest::ScopedEnvironment slashed("HOME", "/home/bob/");
    EXPECT_EQ(AppSettings::sanitizedSessionsRoot("/home/bob/x"), "/home/bob/x");
    EXPECT_EQ(AppSettings::sanitizedSessionsRoot("/home/bobx"), "/home/bob/.orvex-sessions");
}

TEST_F(AppSettingsTests, QuestionPatternsAreRepairedAndAnEmptyListIsKept) {
    const auto& defaults = AppSettings::defaultActivityQuestionPatterns();
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
