// The review panel's server methods end to end: the real server in a throwaway home, real git
// and the real diff helper, asked over the server's socket.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Server/RemoteErrorCode.hpp"
#include "Support/NumberedLines.hpp"
#include "Support/TempGitRepo.hpp"

using nlohmann::json;
using OrvexTest::CliHome;
using OrvexTest::TempGitRepo;

namespace {

struct ReviewFixture {
    CliHome home;
    TempGitRepo repo;
    std::unique_ptr<OrvexServer::ServerConnection> server;
    std::string sessionID;
    std::string worktree;

    ReviewFixture() {
        repo.commitFile("notes.txt", OrvexTest::numberedLines(30));
        repo.git({"branch", "other"});
        home.ok({"open", repo.path()});
        server = OrvexServer::ServerConnection::connect(home.socketPath());
        std::string workspaceID = server->call("state.get")["workspaces"][0]["id"];
        auto session = server->call("session.add", {{"workspaceID", workspaceID},
                                                    {"title", "review"},
                                                    {"branch", "review"},
                                                    {"command", nullptr},
                                                    {"useWorktree", true},
                                                    {"rows", 1},
                                                    {"cols", 1}})["session"];
        sessionID = session["id"];
        worktree = session["worktreePath"];
    }

    json files() { return server->call("review.files", {{"id", sessionID}}); }
};

/// notes.txt with lines 10 and 16 rewritten.
const std::string changed = OrvexTest::numberedLines(30, {{10, "line ten"}, {16, "line sixteen"}});

std::string listed(const json& answer) {
    std::string out;
    for (const auto& file : answer["files"]) {
        out += file[0].get<std::string>() + " " + file[1].get<std::string>() + " +" +
               std::to_string(file[2].get<int>()) + " -" + std::to_string(file[3].get<int>()) +
               (file[4].get<bool>() ? " reviewed" : "") + "\n";
    }
    return out;
}

} // namespace

TEST(ServerReview, MarksHoldUntilTheFileChangesAndTheBaseCanBeChosen) {
    ReviewFixture f;
    OrvexTest::writeFile(f.worktree + "/notes.txt", changed);
    OrvexTest::writeFile(f.worktree + "/fresh/new file.txt", "a\nb\n");

    auto answer = f.files();
    EXPECT_EQ(listed(answer), "fresh/new file.txt A +2 -0\nnotes.txt M +2 -2\n");
    EXPECT_EQ(answer["totals"], json::parse(R"({"files":2,"added":4,"removed":2,"reviewed":0})"));
    EXPECT_EQ(answer["base"]["kind"], "baseCommit");
    EXPECT_EQ(answer["base"]["ref"], f.repo.head());

    EXPECT_EQ(f.server->call("review.toggle", {{"id", f.sessionID}, {"path", "notes.txt"}}),
              json::parse(R"({"path":"notes.txt","reviewed":true})"));
    EXPECT_EQ(f.files()["totals"]["reviewed"], 1);

    auto patch = f.server->call("review.patch", {{"id", f.sessionID}, {"path", "notes.txt"}});
    EXPECT_TRUE(patch["reviewed"]);
    std::string shown = patch["rows"].dump();
    EXPECT_NE(shown.find(R"(["-",10,null,"line 10",["line ","10"]])"), std::string::npos) << shown;
    // Lines 11 to 15 sit unchanged between the two changes: more than the default 4.
    EXPECT_NE(shown.find(R"({"count":3,"fold":1})"), std::string::npos) << shown;

    // Another change to the file: the mark was for the patch the user saw.
    OrvexTest::writeFile(f.worktree + "/notes.txt", changed + "line 31\n");
    EXPECT_EQ(f.files()["totals"]["reviewed"], 0);

    auto refs = f.server->call("review.refs", {{"id", f.sessionID}});
    EXPECT_NE(refs["local"].dump().find("\"other\""), std::string::npos) << refs;
    EXPECT_TRUE(refs["current"].is_null());
    f.server->call("review.setBase", {{"id", f.sessionID}, {"ref", "other"}});
    answer = f.files();
    EXPECT_EQ(answer["base"], json::parse(R"({"kind":"compareRef","ref":"other"})"));
    EXPECT_EQ(f.server->call("review.refs", {{"id", f.sessionID}})["current"], "other");
    f.server->call("review.setBase", {{"id", f.sessionID}, {"ref", nullptr}});
    EXPECT_EQ(f.files()["base"]["kind"], "baseCommit");
}

TEST(ServerReview, BadRequestsGetClearErrorsAndTheServerKeepsServing) {
    ReviewFixture f;
    OrvexTest::writeFile(f.worktree + "/notes.txt", "rewritten\n");
    OrvexTest::writeFile(f.repo.path() + "/outside.txt", "not in the session\n");
    struct Case {
        const char* label;
        std::string method;
        json params;
        std::string code;
    };
    const std::string unknown = "00000000-0000-4000-8000-000000000000";
    // The session's own id with more parameters.
    auto of = [&](json params) {
        params["id"] = f.sessionID;
        return params;
    };
    const std::vector<Case> cases{
        {"unknown session", "review.files", {{"id", unknown}}, "notFound"},
        {"id of the wrong type", "review.files", {{"id", 7}}, "invalidParams"},
        {"no id", "review.patch", {{"path", "notes.txt"}}, "invalidParams"},
        {"path not in the diff", "review.patch", of({{"path", "README.md"}}), "notFound"},
        {"path with ..", "review.patch", of({{"path", "../outside.txt"}}), "invalidParams"},
        {"absolute path", "review.toggle", of({{"path", "/etc/passwd"}}), "invalidParams"},
        {"path of the wrong type", "review.patch", of({{"path", 3}}), "invalidParams"},
        {"path that is a folder", "review.toggle", of({{"path", "a//b"}}), "invalidParams"},
        {"ref that is a range", "review.setBase", of({{"ref", "main..other"}}), "invalidParams"},
        {"ref of the wrong type", "review.setBase", of({{"ref", 1}}), "invalidParams"},
        {"missing file to open", "review.open", of({{"path", "nowhere.txt"}}), "notFound"},
        {"unknown method", "review.everything", {{"id", f.sessionID}}, "unknownMethod"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(OrvexTest::errorCode(*f.server, c.method, c.params), c.code);
    }
    EXPECT_EQ(f.files()["totals"]["files"], 1);
    EXPECT_FALSE(f.home.store()["sessions"][0].contains("diffCompareRef"));
}

TEST(ServerReview, APatchComesInWindowsAndScrollingKeepsToTheVersionShown) {
    ReviewFixture f;
    OrvexTest::writeFile(f.worktree + "/notes.txt", changed);
    auto patch = [&](json window) {
        window["id"] = f.sessionID;
        window["path"] = "notes.txt";
        return f.server->call("review.patch", window);
    };
    // Lines 7 to 19 of the file, two changed: a hunk header, 13 lines and 2 more for the
    // changes' other sides, the five lines between the changes folded to first, fold, last.
    auto whole = patch({});
    EXPECT_EQ(whole["total"], 14);
    EXPECT_EQ(whole["rows"].size(), 14u);
    EXPECT_EQ(whole["lines"], 16);
    struct Case {
        const char* label;
        json window;
        std::size_t rows;
        json total;
    };
    for (const auto& c : std::vector<Case>{
             {"far past the end", {{"first", 1'000'000'000'000'000}}, 0, 14},
             {"more than there is", {{"first", 10}, {"count", 1'000'000'000}}, 4, 14},
             {"the fold open", {{"first", 0}, {"open", {1}}}, 16, 16},
         }) {
        SCOPED_TRACE(c.label);
        auto answer = patch(c.window);
        EXPECT_EQ(answer["rows"].size(), c.rows);
        EXPECT_EQ(answer["total"], c.total);
        EXPECT_EQ(answer["version"], whole["version"]);
    }
    for (auto [label, window] : std::vector<std::pair<const char*, json>>{
             {"negative first", {{"first", -1}}},
             {"negative count", {{"count", -5}}},
             {"first not a number", {{"first", "2"}}},
             {"fraction", {{"count", 2.5}}},
             {"open not a list", {{"open", 1}}},
             {"open not numbers", {{"open", {"a"}}}},
             {"version not text", {{"version", 3}}},
         }) {
        window["id"] = f.sessionID;
        window["path"] = "notes.txt";
        EXPECT_EQ(OrvexTest::errorCode(*f.server, "review.patch", window), "invalidParams")
            << label;
    }

    // The file changes while the page scrolls: rows asked for by the version shown still fit
    // the rows already shown; asked afresh, the new patch comes with a new version.
    OrvexTest::writeFile(f.worktree + "/notes.txt", "line 1\n" + changed);
    auto scrolled = patch({{"first", 5}, {"count", 3}, {"version", whole["version"]}});
    EXPECT_EQ(scrolled["version"], whole["version"]);
    EXPECT_EQ(scrolled["rows"],
              json(std::vector<json>(whole["rows"].begin() + 5, whole["rows"].begin() + 8)));
    auto fresh = patch({{"first", 5}, {"count", 3}});
    EXPECT_NE(fresh["version"], whole["version"]);
    EXPECT_NE(fresh["rows"], scrolled["rows"]);
    // A version the server no longer holds is answered like a fresh request.
    EXPECT_EQ(patch({{"version", "0/4"}})["version"], fresh["version"]);
}

TEST(ServerReview, ASessionWithoutARecordedBaseIsListedAgainstItsMergeBase) {
    ReviewFixture f;
    f.server.reset();
    f.home.stopServer();
    auto store = f.home.store();
    store["sessions"][0].erase("baseCommit");
    OrvexTest::writeFile(f.home.storePath(), store.dump());
    OrvexTest::writeFile(f.worktree + "/notes.txt", "rewritten\n");
    f.home.ok({"ls"});
    f.server = OrvexServer::ServerConnection::connect(f.home.socketPath());

    f.server->call("review.toggle", {{"id", f.sessionID}, {"path", "notes.txt"}});
    auto answer = f.files();
    EXPECT_EQ(answer["base"], json({{"kind", "mergeBase"}, {"ref", f.repo.head()}}));
    // The mark's patch is taken against the same commit as the listing.
    EXPECT_EQ(listed(answer), "notes.txt M +1 -30 reviewed\n");
}
