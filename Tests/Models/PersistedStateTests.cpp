#include "OrvexCore/Models/PersistedState.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Models/DecodingError.hpp"
#include "Persistence/StateFixtures.hpp"

using namespace OrvexCore;
using OrvexTest::fixedUUID;

namespace {

const std::string W1 = "00000001-0000-0000-0000-000000000001";
const std::string S1 = "00000002-0000-0000-0000-000000000001";
const std::string W2 = "00000001-0000-0000-0000-000000000002";
const std::string S2 = "00000002-0000-0000-0000-000000000002";

std::string minimalSessionText(const std::string& id, const std::string& workspace) {
    return R"({"id":")" + id + R"(","workspaceID":")" + workspace +
           R"(","slug":"s","worktreePath":"/w","branch":"b","title":"t"})";
}

} // namespace

TEST(PersistedStateJSON, WritesTheCompactDocumentInKeyOrder) {
    ASSERT_EQ(fixedUUID(1, 1).string(), W1);
    PersistedState state;
    state.workspaces.push_back(Workspace{fixedUUID(1, 1), "/r", "r"});
    state.sessions.push_back(
        decodePersistedState(R"({"workspaces":[],"sessions":[)" + minimalSessionText(S1, W1) + "]}")
            .sessions.front());
    state.lastSelectedWorkspaceID = fixedUUID(1, 1);
    state.lastActiveSessionByWorkspace = {{fixedUUID(1, 1), fixedUUID(2, 1)},
                                          {fixedUUID(1, 2), fixedUUID(2, 2)}};

    EXPECT_EQ(encodePersistedState(state),
              R"({"workspaces":[{"id":")" + W1 + R"(","repoPath":"/r","displayName":"r"}],)" +
                  R"("sessions":[{"id":")" + S1 + R"(","workspaceID":")" + W1 +
                  R"(","slug":"s","worktreePath":"/w","branch":"b","title":"t",)" +
                  R"("lastKnownStatus":"unknown","reviewedFiles":{},"gridRows":1,)" +
                  R"("gridCols":1,"isWorktree":true}],"lastSelectedWorkspaceID":")" + W1 +
                  R"(","lastActiveSessionByWorkspace":[")" + W1 + R"(",")" + S1 + R"(",")" + W2 +
                  R"(",")" + S2 + R"("]})");

    EXPECT_EQ(encodePersistedState(PersistedState{}),
              R"({"workspaces":[],"sessions":[],"lastActiveSessionByWorkspace":[]})");
}

TEST(PersistedStateJSON, RoundTripsThroughText) {
    for (const PersistedState& state :
         {PersistedState{}, OrvexTest::sampleState(1, 1), OrvexTest::sampleState(4, 6, 3, 12)}) {
        EXPECT_EQ(decodePersistedState(encodePersistedState(state)), state);
    }
}

TEST(PersistedStateJSON, OptionalKeysDefaultWhenMissingOrNull) {
    const std::string lower = "6f9619ff-8b86-d011-b42d-00c04fc964ff";
    PersistedState bare = decodePersistedState(R"({"workspaces":[],"sessions":[]})");
    EXPECT_EQ(bare, PersistedState{});
    EXPECT_EQ(decodePersistedState(R"({"sessions":[],"workspaces":[],"future":{"x":1},)"
                                   R"("lastSelectedWorkspaceID":null,)"
                                   R"("lastActiveSessionByWorkspace":null})"),
              PersistedState{});

    PersistedState mapped =
        decodePersistedState(R"({"workspaces":[],"sessions":[],"lastSelectedWorkspaceID":")" +
                             lower + R"(","lastActiveSessionByWorkspace":[")" + W1 + R"(",")" + S1 +
                             R"(",")" + W1 + R"(",")" + S2 + R"("]})");
    EXPECT_EQ(mapped.lastSelectedWorkspaceID->string(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    // A workspace listed twice keeps the later session.
    EXPECT_EQ(mapped.lastActiveSessionByWorkspace,
              (std::map<UUID, UUID>{{fixedUUID(1, 1), fixedUUID(2, 2)}}));
}

TEST(PersistedStateJSON, BadDocumentsFailWithTheirLocation) {
    const std::string good = minimalSessionText(S1, W1);
    const std::string open = good.substr(0, good.size() - 1);
    // A document listing `listed` as its sessions; one with no records and `more` keys.
    auto sessions = [](const std::string& listed) {
        return R"({"workspaces":[],"sessions":[)" + listed + "]}";
    };
    auto keys = [](const std::string& more) {
        return R"({"workspaces":[],"sessions":[],)" + more + "}";
    };
    struct Case {
        std::string text;
        std::string codingPath;
    };
    const std::vector<Case> cases{
        {"", ""},
        {"   ", ""},
        {"not json", ""},
        {R"({"workspaces":[],"sessions":[)", ""},
        {R"({"workspaces":[],"sessions":[]} trailing)", ""},
        {"[]", ""},
        {"null", ""},
        {R"({"sessions":[]})", "workspaces"},
        {R"({"workspaces":[]})", "sessions"},
        {R"({"workspaces":null,"sessions":[]})", "workspaces"},
        {R"({"workspaces":{},"sessions":[]})", "workspaces"},
        {sessions(good + R"(,{"id":"x"})"), "sessions[1].id"},
        {sessions(good + "," + open + R"(,"gridRows":"2"})"), "sessions[1].gridRows"},
        {sessions(open + R"(,"lastKnownStatus":"busy"})"), "sessions[0].lastKnownStatus"},
        {R"({"workspaces":[{"id":")" + W1 + R"(","repoPath":"/r"}],"sessions":[]})",
         "workspaces[0].displayName"},
        {R"({"workspaces":[7],"sessions":[]})", "workspaces[0]"},
        {keys(R"("lastSelectedWorkspaceID":5)"), "lastSelectedWorkspaceID"},
        {keys(R"("lastActiveSessionByWorkspace":[")" + W1 + R"("])"),
         "lastActiveSessionByWorkspace"},
        {keys(R"("lastActiveSessionByWorkspace":{")" + W1 + R"(":")" + S1 + R"("})"),
         "lastActiveSessionByWorkspace"},
        {keys(R"("lastActiveSessionByWorkspace":[")" + W1 + R"(",null])"),
         "lastActiveSessionByWorkspace[1]"},
        {keys(R"("lastActiveSessionByWorkspace":["nope",")" + S1 + R"("])"),
         "lastActiveSessionByWorkspace[0]"},
        {std::string("{\"workspaces\":[],\"sessions\":[],\"x\":\"\xff\"}"), ""},
        {std::string(100000, '[') + std::string(100000, ']'), ""},
        // Numbers beyond the range of a double.
        {sessions(open + R"(,"gridRows":1e999})"), "sessions[0].gridRows"},
        {sessions(good + "," + open + R"(,"gridLayout":[1,-1e400]})"), "sessions[1].gridLayout[1]"},
        {keys(R"("lastSelectedWorkspaceID":1e999)"), "lastSelectedWorkspaceID"},
        {keys(R"("future":{"size":1e999})"), "future"},
        {R"({"workspaces":[1e999],"sessions":[]})", "workspaces[0]"},
    };
    for (const Case& c : cases) {
        try {
            decodePersistedState(c.text);
            ADD_FAILURE() << c.text.substr(0, 120) << " decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.codingPath(), c.codingPath)
                << c.text.substr(0, 120) << ": " << error.what();
        } catch (const std::exception& error) {
            ADD_FAILURE() << c.text.substr(0, 120) << " threw something else: " << error.what();
        }
    }
}

TEST(PersistedStateJSON, TextThatIsNotUTF8IsWrittenReadably) {
    PersistedState state = OrvexTest::sampleState(1, 1);
    state.sessions[0].worktreePath = "/home/user/caf\xe9";
    PersistedState decoded = decodePersistedState(encodePersistedState(state));
    EXPECT_EQ(decoded.sessions[0].worktreePath, "/home/user/caf\xef\xbf\xbd");
    EXPECT_EQ(decoded.workspaces, state.workspaces);
}

TEST(PersistedStateJSON, DocumentWriterAgreesWithTheRecordCoding) {
    PersistedState state = OrvexTest::sampleState(3, 3, 5, 4);
    static const char title[] = "nul \0 ctl \x01\x1f\x7f \b\f\n\r\t \"q\" \\ / \u00e9\u2603";
    state.sessions[0].title = std::string(title, sizeof title - 1);
    state.sessions[1].gridLayout = std::vector<int>{};
    state.sessions[1].gridTitles.reset();
    state.sessions[2].reviewedFiles.clear();
    state.sessions[2].isWorktree = false;
    state.sessions[2].gridRows = -3;
    state.workspaces[1].color = "";
    state.lastSelectedWorkspaceID.reset();
    for (const PersistedState& s : {state, PersistedState{}}) {
        EXPECT_EQ(encodePersistedState(s), nlohmann::ordered_json(s).dump());
    }
}
