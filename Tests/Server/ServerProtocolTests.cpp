// The protocol under bad input: every faulty line gets an error answer or a closed connection,
// and the server goes on serving everyone else.

#include <random>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Support/TempGitRepo.hpp"

namespace asio = boost::asio;
using nlohmann::json;
using OrvexTest::CliHome;

namespace {

/// A raw client: lines out, lines in, no checks of its own.
class RawClient {
public:
    explicit RawClient(const std::string& socketPath) {
        boost::system::error_code error;
        socket_.connect(asio::local::stream_protocol::endpoint(socketPath), error);
    }

    bool send(const std::string& bytes) {
        boost::system::error_code error;
        asio::write(socket_, asio::buffer(bytes), error);
        return !error;
    }

    /// The next line, or nothing once the server closed the connection.
    std::optional<std::string> line() {
        boost::system::error_code error;
        auto end = asio::read_until(socket_, asio::dynamic_buffer(input_), '\n', error);
        if (error) {
            return std::nullopt;
        }
        std::string text = input_.substr(0, end - 1);
        input_.erase(0, end);
        return text;
    }

    asio::local::stream_protocol::socket& socket() { return socket_; }

private:
    asio::io_context io_;
    asio::local::stream_protocol::socket socket_{io_};
    std::string input_;
};

std::string hello() {
    return json{{"id", 0},
                {"method", "hello"},
                {"params", {{"version", OrvexServer::Protocol::version}}}}
               .dump() +
           "\n";
}

/// A request the real methods must refuse: wrong parameter types, unknown methods. Lines that
/// never reach a method (garbage, truncated JSON, non-requests) are the protocol-line fuzz
/// target's, through the same connection class.
std::string faultyLine(std::mt19937& random, int i) {
    static const std::vector<std::string> methods{
        "session.rename",         "session.move",   "settings.set", "workspace.setColor",
        "session.saveGridLayout", "workspace.open", "grid.open"};
    json request{{"id", i}, {"method", "no.such." + std::to_string(random())}};
    if (i % 3 != 0) {
        request["method"] = methods[random() % methods.size()];
        request["params"] = {{"id", static_cast<int>(random())},
                             {"title", 5},
                             {"layout", "x"},
                             {"key", json::array()},
                             {"from", "y"},
                             {"path", i % 2 == 0 ? json(7) : json(nullptr)}};
    }
    return request.dump() + "\n";
}

} // namespace

TEST(ServerProtocol, FaultyLinesGetAnErrorOrAClosedConnectionAndOthersAreServed) {
    CliHome home;
    OrvexTest::TempGitRepo repo;
    home.ok({"open", repo.path()});
    auto other = OrvexServer::ServerConnection::connect(home.socketPath());

    std::mt19937 random(2024);
    RawClient client(home.socketPath());
    ASSERT_TRUE(client.send(hello()));
    ASSERT_TRUE(client.line().has_value());
    // A thousand refused requests through the real server, beside another client it must keep
    // serving; each gets its error answer on a connection that stays open.
    for (int i = 0; i < 1000; ++i) {
        std::string line = faultyLine(random, i);
        ASSERT_TRUE(client.send(line));
        auto reply = client.line();
        ASSERT_TRUE(reply.has_value()) << line;
        auto answer = json::parse(*reply, nullptr, false);
        ASSERT_TRUE(answer.is_object() && answer.contains("error")) << line << " -> " << *reply;
        if (i % 250 == 0) {
            EXPECT_EQ(other->call("state.get")["workspaces"].size(), 1u);
        }
    }

    // A line past the limit is answered and the connection closed.
    RawClient huge(home.socketPath());
    ASSERT_TRUE(huge.send(hello()));
    ASSERT_TRUE(huge.line().has_value());
    huge.send(std::string(OrvexServer::Protocol::maxLineBytes + 10, 'x'));
    auto reply = huge.line();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(json::parse(*reply)["error"]["code"], "lineTooLong");
    EXPECT_FALSE(huge.line().has_value());

    // Requests before hello are refused.
    RawClient early(home.socketPath());
    early.send(R"({"id":1,"method":"state.get"})"
               "\n");
    EXPECT_EQ(json::parse(*early.line())["error"]["code"], "helloRequired");

    // A client that sends but never reads is dropped once its answers pile up.
    RawClient deaf(home.socketPath());
    ASSERT_TRUE(deaf.send(hello()));
    // Each request names an unknown method a megabyte long, which the error answer repeats:
    // a few dozen unread answers pass any sound limit.
    std::string burst =
        json{{"id", 1}, {"method", "no.such." + std::string(1 << 20, 'x')}}.dump() + "\n";
    int bursts = 0;
    deaf.socket().set_option(asio::socket_base::receive_buffer_size(4096));
    while (bursts < 200 && deaf.send(burst)) {
        ++bursts;
    }
    EXPECT_LT(bursts, 200) << "the server kept a client that never reads";
    EXPECT_EQ(other->call("state.get")["workspaces"].size(), 1u);
    EXPECT_EQ(home.run({"ls"}).status, 0);
}
