#include "OrvexCore/Models/Session.hpp"

#include <functional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Models/DecodingError.hpp"
#include "Persistence/StateFixtures.hpp"
#include "Support/ThrownBy.hpp"

using namespace OrvexCore;
using nlohmann::json;
using nlohmann::ordered_json;

namespace {

const char* const idText = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
const char* const workspaceText = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";

json minimalSession() {
    return json{{"id", idText},         {"workspaceID", workspaceText},
                {"slug", "calm-fox"},   {"worktreePath", "/s/calm-fox"},
                {"branch", "calm-fox"}, {"title", "calm-fox"}};
}

std::vector<std::string> keys(const ordered_json& object) {
    std::vector<std::string> names;
    for (auto it = object.begin(); it != object.end(); ++it) {
        names.push_back(it.key());
    }
    return names;
}

Session decode(const json& value) {
    return value.get<Session>();
}

} // namespace

// Null optional keys read as missing, an identifier in lower case reads as itself, and an
// unknown key is passed over. Every value's own text form is read back by RoundTripsThroughText.
TEST(SessionJSON, NullKeysLowerCaseIdentifiersAndUnknownKeysReadAsTheMinimalRecord) {
    json value = minimalSession();
    for (const char* key :
         {"lastKnownStatus", "baseCommit", "reviewedFiles", "diffCompareRef", "gridRows",
          "gridCols", "initialCommand", "isWorktree", "gridLayout", "gridTitles"}) {
        value[key] = nullptr;
    }
    value["id"] = "6f9619ff-8b86-d011-b42d-00c04fc964ff";
    value["someFutureKey"] = {{"nested", true}};
    EXPECT_EQ(decode(value), decode(minimalSession()));
}

TEST(SessionJSON, GridValuesAreClampedToOneThroughTwenty) {
    struct Case {
        json value;
        int expected;
    };
    const std::vector<Case> cases{
        {0, 1},
        {-5, 1},
        {25, 20},
        {7, 7},
        {1, 1},
        {20, 20},
        {json(std::numeric_limits<std::int64_t>::min()), 1},
        {json(std::numeric_limits<std::int64_t>::max()), 20},
        {json(std::numeric_limits<std::uint64_t>::max()), 20},
        {json(std::int64_t{4294967297}), 20}, // would be 1 if narrowed to 32 bits first
    };
    for (const Case& c : cases) {
        json value = minimalSession();
        value["gridRows"] = c.value;
        value["gridCols"] = c.value;
        value["gridLayout"] = json::array({c.value});
        Session session = decode(value);
        EXPECT_EQ(session.gridRows, c.expected) << c.value;
        EXPECT_EQ(session.gridCols, c.expected) << c.value;
        EXPECT_EQ(session.gridLayout, std::vector<int>{c.expected}) << c.value;
    }

    json value = minimalSession();
    value["gridLayout"] = {0, 3, 99};
    EXPECT_EQ(decode(value).gridLayout, (std::vector<int>{1, 3, 20}));
    value["gridLayout"] = json::array();
    EXPECT_EQ(decode(value).gridLayout, std::vector<int>{});
}

TEST(SessionJSON, BadValuesFailTheRecordNamingTheKey) {
    struct Case {
        const char* key;
        json value; // null with `remove` removes the key instead
        bool remove = false;
    };
    const std::vector<Case> cases{
        {"id", nullptr, true},
        {"workspaceID", nullptr, true},
        {"slug", nullptr, true},
        {"worktreePath", nullptr, true},
        {"branch", nullptr, true},
        {"title", nullptr, true},
        {"title", nullptr},
        {"slug", 5},
        {"id", "not-a-uuid"},
        {"id", "6F9619FF8B86D011B42D00C04FC964FF"},
        {"workspaceID", 12},
        {"lastKnownStatus", "Idle"},
        {"lastKnownStatus", ""},
        {"lastKnownStatus", 1},
        {"baseCommit", 5},
        {"diffCompareRef", false},
        {"initialCommand", json::array()},
        {"reviewedFiles", json::array()},
        {"reviewedFiles", {{"a.txt", 1}}},
        {"reviewedFiles", {{"a.txt", nullptr}}},
        {"gridRows", "3"},
        {"gridRows", 2.5},
        {"gridCols", 3.0},
        {"gridCols", true},
        {"isWorktree", "yes"},
        {"isWorktree", 1},
        {"gridLayout", 3},
        {"gridLayout", {1, "2"}},
        {"gridLayout", {1, nullptr}},
        {"gridTitles", "one"},
        {"gridTitles", {"one", 2}},
    };
    for (const Case& c : cases) {
        json value = minimalSession();
        if (c.remove) {
            value.erase(c.key);
        } else {
            value[c.key] = c.value;
        }
        SCOPED_TRACE(std::string(c.key) + " = " + c.value.dump());
        auto error = OrvexTest::thrownBy<DecodingError>([&] { decode(value); });
        EXPECT_TRUE(error && error->codingPath().starts_with(c.key))
            << (error ? error->what() : "decoded");
    }
    EXPECT_THROW(decode(json::array()), DecodingError);
    EXPECT_THROW(decode(json("session")), DecodingError);
}

// The values' text forms are checked by PersistedStateJSON.WritesTheCompactDocumentInKeyOrder.
TEST(SessionJSON, WritesKeysInOrderAndOptionalOnesOnlyWhenPresent) {
    EXPECT_EQ(keys(ordered_json(decode(minimalSession()))),
              (std::vector<std::string>{"id", "workspaceID", "slug", "worktreePath", "branch",
                                        "title", "lastKnownStatus", "reviewedFiles", "gridRows",
                                        "gridCols", "isWorktree"}));
    Session full = OrvexTest::fullSession(3, UUID());
    EXPECT_EQ(keys(ordered_json(full)),
              (std::vector<std::string>{"id", "workspaceID", "slug", "worktreePath", "branch",
                                        "title", "lastKnownStatus", "baseCommit", "reviewedFiles",
                                        "diffCompareRef", "gridRows", "gridCols", "initialCommand",
                                        "isWorktree", "gridLayout", "gridTitles"}));
}

TEST(SessionJSON, RoundTripsThroughText) {
    UUID workspace;
    std::vector<Session> sessions{decode(minimalSession()),
                                  OrvexTest::fullSession(0, workspace, 0, 1),
                                  OrvexTest::fullSession(7, workspace, 40, 4)};
    Session empties = sessions[1];
    empties.gridLayout = std::vector<int>{};
    empties.gridTitles = std::vector<std::string>{};
    empties.initialCommand = "";
    empties.title = "tab\tquote\" backslash\\ newline\n \u2603";
    sessions.push_back(empties);
    for (SessionStatus status : allSessionStatuses) {
        Session withStatus = sessions[2];
        withStatus.lastKnownStatus = status;
        sessions.push_back(withStatus);
    }
    for (const Session& session : sessions) {
        std::string text = ordered_json(session).dump();
        EXPECT_EQ(json::parse(text).get<Session>(), session) << text;
        EXPECT_EQ(ordered_json::parse(text).get<Session>(), session) << text;
    }
}

// Equality is the defaulted one; the hash is written by hand and must see every field.
TEST(SessionModel, EveryFieldTakesPartInHashing) {
    const Session base = OrvexTest::fullSession(5, UUID(), 2, 2);
    std::hash<Session> hash;
    EXPECT_EQ(hash(base), hash(Session(base)));

    std::vector<std::pair<const char*, std::function<void(Session&)>>> changes{
        {"id", [](Session& s) { s.id = UUID(); }},
        {"workspaceID", [](Session& s) { s.workspaceID = UUID(); }},
        {"slug", [](Session& s) { s.slug += "x"; }},
        {"worktreePath", [](Session& s) { s.worktreePath += "x"; }},
        {"branch", [](Session& s) { s.branch += "x"; }},
        {"title", [](Session& s) { s.title += "x"; }},
        {"lastKnownStatus", [](Session& s) { s.lastKnownStatus = SessionStatus::bell; }},
        {"gridRows", [](Session& s) { s.gridRows += 1; }},
        {"gridCols", [](Session& s) { s.gridCols += 1; }},
        {"rows/cols swapped", [](Session& s) { std::swap(s.gridRows, s.gridCols); }},
        {"initialCommand", [](Session& s) { s.initialCommand.reset(); }},
        {"baseCommit", [](Session& s) { s.baseCommit = "other"; }},
        {"diffCompareRef", [](Session& s) { s.diffCompareRef.reset(); }},
        {"one fingerprint", [](Session& s) { s.reviewedFiles.begin()->second += "x"; }},
        {"one more file", [](Session& s) { s.reviewedFiles["new"] = "f"; }},
        {"isWorktree", [](Session& s) { s.isWorktree = !s.isWorktree; }},
        {"gridLayout element", [](Session& s) { s.gridLayout->front() += 1; }},
        {"gridLayout absent", [](Session& s) { s.gridLayout.reset(); }},
        {"gridTitles absent vs empty", [](Session& s) { s.gridTitles->clear(); }},
        {"gridTitles element", [](Session& s) { s.gridTitles->back() += "x"; }},
    };
    for (const auto& [name, change] : changes) {
        Session changed = base;
        change(changed);
        EXPECT_NE(hash(changed), hash(base)) << name;
    }

    Session absentLayout = base, emptyLayout = base;
    absentLayout.gridLayout.reset();
    emptyLayout.gridLayout = std::vector<int>{};
    EXPECT_NE(hash(absentLayout), hash(emptyLayout));
}
