// The server's methods for the web page, end to end: the real server in a throwaway home,
// real git and real shells, asked over its socket and over HTTP.

#include <chrono>
#include <regex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "Cli/HomeWithRepo.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Server/RemoteErrorCode.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

using nlohmann::json;
using OrvexTest::CliHome;
using OrvexTest::errorCode;
using OrvexTest::TempGitRepo;

namespace {

/// A new worktree session of one row of two terminals named `name`; its id.
std::string addTwoTerminalSession(OrvexServer::ServerConnection& server,
                                  const std::string& workspaceID, const std::string& name) {
    return server.call("session.add", {{"workspaceID", workspaceID},
                                       {"title", name},
                                       {"branch", name},
                                       {"command", nullptr},
                                       {"useWorktree", true},
                                       {"rows", 1},
                                       {"cols", 2}})["session"]["id"];
}

} // namespace

/// The server's socket, with the repository's workspace open.
class ServerWebMethods : public OrvexTest::HomeWithRepo {
protected:
    void SetUp() override {
        HomeWithRepo::SetUp();
        server = OrvexServer::ServerConnection::connect(home.socketPath());
        workspaceID = server->call("state.get")["workspaces"][0]["id"];
    }
    /// The grid of `sessionID` once it holds `terminals` terminals (they open one by one).
    json gridWith(const std::string& sessionID, std::size_t terminals) {
        json grid;
        OrvexTest::eventually([&] {
            grid = server->call("grid.list", {{"id", sessionID}});
            return grid["terminals"].size() == terminals;
        });
        return grid;
    }

    std::unique_ptr<OrvexServer::ServerConnection> server;
    std::string workspaceID;
};

TEST_F(ServerWebMethods, TerminalsAreMovedRenamedRestartedAndClosedAndTheLayoutIsSaved) {
    std::string sessionID = addTwoTerminalSession(*server, workspaceID, "wide");
    server->call("grid.open", {{"id", sessionID}});
    auto grid = gridWith(sessionID, 2);
    ASSERT_EQ(grid["terminals"].size(), 2u);
    std::string left = grid["layout"][0][0], right = grid["layout"][0][1];

    grid = server->call("terminal.move", {{"id", left}, {"targetID", right}, {"edge", "bottom"}});
    EXPECT_EQ(grid["layout"], json::parse(fmt::format(R"([["{}"],["{}"]])", right, left)));
    auto stored = home.store()["sessions"][0];
    EXPECT_EQ(stored["gridLayout"], json::parse("[1,1]")) << stored;

    grid = server->call("terminal.rename", {{"id", left}, {"title", "logs"}});
    EXPECT_EQ(grid["terminals"][0]["title"].get<std::string>() == "logs" ||
                  grid["terminals"][1]["title"].get<std::string>() == "logs",
              true)
        << grid;
    EXPECT_NE(home.store()["sessions"][0]["gridTitles"].dump().find("logs"), std::string::npos);

    server->call("terminal.focus", {{"id", right}});
    EXPECT_EQ(server->call("grid.list", {{"id", sessionID}})["focusedTerminalID"], right);

    grid = server->call("terminal.restart", {{"id", right}});
    EXPECT_EQ(grid["terminals"].size(), 2u);
    grid = server->call("terminal.close", {{"id", left}});
    ASSERT_EQ(grid["terminals"].size(), 1u);
    EXPECT_EQ(grid["layout"].size(), 1u);

    EXPECT_EQ(errorCode(*server, "terminal.close", {{"id", left}}), "notFound");
    EXPECT_EQ(
        errorCode(*server, "terminal.move",
                  {{"id", grid["terminals"][0]["id"]}, {"targetID", left}, {"edge", "diagonal"}}),
        "invalidParams");
}

TEST(ServerWebAddress, WebPrintsTheAddressThatOpensThePage) {
    CliHome home;
    std::string printed = home.ok({"web", "--no-open"});
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        printed, match, std::regex(R"(http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{64})\n)")))
        << printed;
    auto server = OrvexServer::ServerConnection::connect(home.socketPath());
    EXPECT_EQ(server->call("web.address")["address"].get<std::string>() + "\n", printed);

    namespace http = boost::beast::http;
    auto port = static_cast<unsigned short>(std::stoi(match[1].str()));
    auto get = [&](const std::string& target) {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket socket(io);
        socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        http::request<http::empty_body> request{http::verb::get, target, 11};
        request.set(http::field::host, "localhost:" + match[1].str());
        http::write(socket, request);
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response.result_int();
    };
    EXPECT_EQ(get("/?token=" + match[2].str()), 303);
    EXPECT_EQ(get("/"), 401);

    // A second server start draws a new token: the old address no longer opens the page.
    home.stopServer();
    std::string again = home.ok({"web", "--no-open"});
    EXPECT_NE(again, printed);
}

TEST_F(ServerWebMethods, BranchesListTheWorkspacesLocalAndRemoteBranchesAndRefuseBadInput) {
    repo.git({"branch", "feature"});
    repo.addOrigin();
    repo.git({"branch", "local-only"});
    // "origin/HEAD" names origin's default branch, not a branch to offer.
    repo.git({"remote", "set-head", "origin", "main"});

    auto branches = server->call("workspace.branches", {{"id", workspaceID}});
    EXPECT_EQ(branches["local"], json({"feature", "local-only", "main"})) << branches;
    EXPECT_EQ(branches["remote"], json({"origin/feature", "origin/main"})) << branches;

    struct Case {
        json params;
        std::string code;
    };
    const std::vector<Case> cases{
        {json::object(), "invalidParams"},
        {{{"id", 7}}, "invalidParams"},
        {{{"id", "not-an-id"}}, "invalidParams"},
        {{{"id", "6f1c1b8e-4a57-4f0e-9d3c-2b1b7f3f0a11"}}, "notFound"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorCode(*server, "workspace.branches", c.params), c.code) << c.params;
    }
    // The refusals leave the server answering.
    EXPECT_EQ(server->call("workspace.branches", {{"id", workspaceID}}), branches);
}

TEST_F(ServerWebMethods, AnAddedTerminalJoinsTheOpenGridAndItsSavedLayout) {
    std::string sessionID = addTwoTerminalSession(*server, workspaceID, "grow");
    EXPECT_EQ(errorCode(*server, "terminal.add", {{"sessionID", sessionID}}), "notFound")
        << "the grid is not open";
    server->call("grid.open", {{"id", sessionID}});
    auto grid = gridWith(sessionID, 2);
    ASSERT_EQ(grid["terminals"].size(), 2u);

    grid = server->call("terminal.add", {{"sessionID", sessionID}});
    ASSERT_EQ(grid["terminals"].size(), 3u) << grid;
    ASSERT_EQ(grid["layout"].size(), 2u) << grid;
    EXPECT_EQ(grid["layout"][1], json({grid["terminalID"]})) << grid;
    EXPECT_EQ(home.store()["sessions"][0]["gridLayout"], json::parse("[2,1]"));

    // Opened again, the grid comes back with the added terminal in its place.
    server->call("grid.close", {{"id", sessionID}});
    server->call("grid.open", {{"id", sessionID}});
    grid = gridWith(sessionID, 3);
    ASSERT_EQ(grid["layout"].size(), 2u) << grid;
    EXPECT_EQ(grid["layout"][0].size(), 2u);
    EXPECT_EQ(grid["layout"][1].size(), 1u);

    EXPECT_EQ(
        errorCode(*server, "terminal.add", {{"sessionID", "6f1c1b8e-4a57-4f0e-9d3c-2b1b7f3f0a11"}}),
        "notFound");
}
