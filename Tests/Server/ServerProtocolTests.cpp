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

/// A line that must not succeed: truncated requests, garbage, wrong types, unknown methods.
std::string faultyLine(std::mt19937& random, int i) {
    static const std::vector<std::string> valid{
        R"({"id":1,"method":"session.rename","params":{"id":"00000000-0000-0000-0000-000000000000","title":"x"}})",
        R"({"id":2,"method":"workspace.open","params":{"path":"/nonexistent"}})",
        R"({"id":3,"method":"settings.set","params":{"key":"theme","value":"dark"}})",
        R"({"id":4,"method":"grid.open","params":{"id":"00000000-0000-0000-0000-000000000000"}})"};
    std::string line;
    switch (i % 5) {
    case 0: { // truncated
        const auto& base = valid[random() % valid.size()];
        line = base.substr(0, 1 + random() % (base.size() - 1));
        break;
    }
    case 1: { // garbage bytes
        std::size_t length = 1 + random() % 200;
        for (std::size_t k = 0; k < length; ++k) {
            line += static_cast<char>(random() % 256);
        }
        break;
    }
    case 2: // wrong types
        line = json{{"id", i},
                    {"method", std::vector<std::string>{"session.rename", "session.move",
                                                        "settings.set", "workspace.setColor",
                                                        "session.saveGridLayout"}[random() % 5]},
                    {"params",
                     {{"id", static_cast<int>(random())},
                      {"title", 5},
                      {"layout", "x"},
                      {"key", json::array()},
                      {"from", "y"}}}}
                   .dump();
        break;
    case 3: // unknown method
        line = json{{"id", i}, {"method", "no.such." + std::to_string(random())}}.dump();
        break;
    default: // not a request
        line =
            std::vector<std::string>{"[]",
                                     "1",
                                     "null",
                                     R"({"id":true})",
                                     R"({"id":1,"method":2})",
                                     R"({"id":1,"method":"state.get","params":[]})"}[random() % 6];
    }
    for (auto& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    if (line.find_first_not_of(' ') == std::string::npos) {
        line = "?";
    }
    return line + "\n";
}

} // namespace

TEST(ServerProtocol, FaultyLinesGetAnErrorOrAClosedConnectionAndOthersAreServed) {
    CliHome home;
    OrvexTest::TempGitRepo repo;
    home.ok({"open", repo.path()});
    auto other = OrvexServer::ServerConnection::connect(home.socketPath());

    std::mt19937 random(2024);
    int answered = 0;
    int closed = 0;
    auto client = std::make_unique<RawClient>(home.socketPath());
    ASSERT_TRUE(client->send(hello()));
    ASSERT_TRUE(client->line().has_value());
    // The protocol-line fuzz target explores the lines themselves; here a thousand go through
    // the real server, beside another client it must keep serving.
    for (int i = 0; i < 1000; ++i) {
        std::string line = faultyLine(random, i);
        bool ok = client->send(line);
        auto reply = ok ? client->line() : std::nullopt;
        if (!reply) {
            ++closed;
            client = std::make_unique<RawClient>(home.socketPath());
            ASSERT_TRUE(client->send(hello()));
            ASSERT_TRUE(client->line().has_value());
            continue;
        }
        auto answer = json::parse(*reply, nullptr, false);
        ASSERT_TRUE(answer.is_object() && answer.contains("error")) << line << " -> " << *reply;
        ++answered;
        if (i % 250 == 0) {
            EXPECT_EQ(other->call("state.get")["workspaces"].size(), 1u);
        }
    }
    EXPECT_GT(answered, 800);

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
