// Flow control for web pages: a page that falls behind holds the programs it watches instead of
// being dropped at once, catches up by reading and acknowledging what it drew, and is dropped
// when it stays behind. Once with a listener and stand-in terminals (the acknowledgement rules),
// once end to end: the real server, a real shell flooding, pages that stop reading.

#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "OrvexServer/WebSecurity.hpp"
#include "OrvexServer/WebServer.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using nlohmann::json;
using OrvexCore::UUID;

namespace {

/// A web page's connection, as the page speaks it: JSON requests, binary terminal frames in,
/// acknowledgements out. Every read is bounded, so a server that never answers fails the test
/// rather than hanging it.
class PageClient {
public:
    /// Connects with the server's token and says hello. A small receive buffer keeps what the
    /// system holds for a page that stops reading small too.
    PageClient(unsigned short port, const std::string& token) : ws_(io_) {
        auto& socket = ws_.next_layer();
        socket.open(tcp::v4());
        socket.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
        socket.connect({asio::ip::make_address("127.0.0.1"), port});
        const std::string host = fmt::format("127.0.0.1:{}", port);
        const std::string cookie =
            fmt::format("{}={}", OrvexServer::WebSecurity::cookieName, token);
        ws_.set_option(websocket::stream_base::decorator([=](websocket::request_type& request) {
            request.set(beast::http::field::cookie, cookie);
            request.set(beast::http::field::origin, "http://" + host);
        }));
        ws_.handshake(host, "/ws");
        call("hello", {{"version", 1}, {"client", "flow test"}});
    }

    /// Sends a request and reads until its answer; terminal frames read meanwhile are kept.
    json call(const std::string& method, json params = json::object()) {
        const int id = nextID_++;
        ws_.text(true);
        ws_.write(asio::buffer(json{{"id", id}, {"method", method}, {"params", params}}.dump()));
        while (read()) {
            if (!lastText_.empty()) {
                auto message = json::parse(lastText_);
                if (message.value("id", json()) == id) {
                    return message;
                }
            }
        }
        ADD_FAILURE() << "closed before answering " << method;
        return {};
    }

    /// Reads one message: false when the connection has closed. A terminal frame's bytes go
    /// to `drawn` (and, for output, to `output`).
    bool read() {
        beast::flat_buffer buffer;
        std::optional<beast::error_code> result;
        ws_.async_read(buffer, [&](beast::error_code error, std::size_t) { result = error; });
        io_.restart();
        io_.run_for(std::chrono::seconds(60));
        if (!result) {
            ADD_FAILURE() << "nothing read in 60 s";
            beast::get_lowest_layer(ws_).close();
            io_.restart();
            io_.run();
            return false;
        }
        if (*result) {
            return false;
        }
        std::string message = beast::buffers_to_string(buffer.data());
        lastText_.clear();
        if (ws_.got_text()) {
            lastText_ = std::move(message);
        } else if (message.size() >= 37 && (message[0] == 'O' || message[0] == 'S')) {
            drawn += message.size() - 37;
            if (message[0] == 'O') {
                output.append(message, 37);
            }
        }
        return true;
    }

    /// Reads until the connection closes (the test fails when it stays open).
    void readUntilClosed() {
        while (read()) {
        }
    }

    /// Tells the server the page has drawn everything it read.
    void acknowledge() { sendBinary(fmt::format("A{}", drawn)); }
    void sendBinary(const std::string& bytes) {
        ws_.binary(true);
        ws_.write(asio::buffer(bytes));
    }

    std::uint64_t drawn = 0;
    std::string output;

private:
    asio::io_context io_;
    websocket::stream<tcp::socket> ws_;
    int nextID_ = 1;
    std::string lastText_;
};

const UUID terminalID = *UUID::parse("0B6F6B2E-5C7A-4A52-9A31-3F1C2D4E5F60");

/// A listener with one stand-in terminal whose output the test writes, recording what the
/// pages hold.
class WebFlowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        OrvexServer::WebTerminals terminals;
        terminals.screen = [](const UUID&) -> std::optional<std::string> { return "SCREEN"; };
        terminals.input = [](const UUID&, std::string_view) { return true; };
        terminals.resize = [](const UUID&, int, int) { return true; };
        terminals.hold = [this](const void*, std::set<UUID> held) {
            std::lock_guard lock(mutex_);
            holds_.push_back(std::move(held));
        };
        auto handler = [](std::shared_ptr<OrvexServer::Client> client, std::string method,
                          json params) -> asio::awaitable<json> {
            if (method == "hello") {
                client->setGreeted();
            }
            co_return params;
        };
        OrvexServer::WebServer::Limits limits;
        limits.behindBytes = 64 * 1024;
        limits.behindTime = std::chrono::seconds(3);
        server_ = std::make_unique<OrvexServer::WebServer>(io_.get_executor(), handler, terminals,
                                                           limits);
        server_->listen(0);
        thread_ = std::thread([this] { io_.run(); });
    }

    void TearDown() override {
        asio::post(io_, [this] {
            server_.reset();
            work_.reset();
        });
        thread_.join();
    }

    /// The terminal writes `bytes`, on the server's executor.
    void output(std::string bytes) {
        asio::post(
            io_, [this, bytes = std::move(bytes)] { server_->terminalOutput(terminalID, bytes); });
    }

    /// What the page held last (nothing before it ever held).
    std::optional<std::set<UUID>> lastHold() {
        std::lock_guard lock(mutex_);
        return holds_.empty() ? std::nullopt : std::optional(holds_.back());
    }
    std::size_t holdCount() {
        std::lock_guard lock(mutex_);
        return holds_.size();
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
    std::unique_ptr<OrvexServer::WebServer> server_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::set<UUID>> holds_;
};

} // namespace

// A page that reads everything but stops drawing is behind by what it has not acknowledged;
// acknowledgements that say nothing sound are ignored, and a page that stays behind is dropped
// and lets its terminals go.
TEST_F(WebFlowFixture, APageBehindOnDrawingHoldsItsTerminalsUntilItAcknowledgesOrIsDropped) {
    PageClient page(server_->port(), server_->token());
    page.call("terminal.subscribe", {{"id", terminalID.string()}});
    while (page.drawn < 6) {
        ASSERT_TRUE(page.read());
    }
    page.acknowledge();
    const std::set<UUID> held{terminalID};
    const std::string chunk(8 * 1024, 'x');
    auto fallBehind = [&] {
        const auto target = page.drawn + 20 * chunk.size();
        for (int i = 0; i < 20; ++i) {
            output(chunk);
        }
        while (page.drawn < target) {
            ASSERT_TRUE(page.read());
        }
        ASSERT_TRUE(OrvexTest::eventually([&] { return lastHold() == held; }));
    };
    fallBehind();

    const auto before = holdCount();
    for (const std::string bad :
         {"A", "Ax", "A-5", "A 5", "A5x", "A99999999999999999999999", "A0"}) {
        page.sendBinary(bad);
    }
    // Drawn but for a quarter of the mark: still behind.
    page.sendBinary(fmt::format("A{}", page.drawn - 32 * 1024));
    page.call("sync");
    EXPECT_EQ(holdCount(), before);
    page.acknowledge();
    ASSERT_TRUE(OrvexTest::eventually([&] { return lastHold() == std::set<UUID>{}; }));

    // More than was ever sent counts as all of it, so what comes next is still counted.
    page.sendBinary("A1000000000000");
    page.call("sync");
    EXPECT_TRUE(lastHold() == std::set<UUID>{});
    fallBehind();

    page.readUntilClosed();
    EXPECT_TRUE(lastHold() == std::set<UUID>{});
}

// End to end: two pages watch one terminal whose shell floods it. Neither reads; the program is
// held (it sleeps in its write, its progress stands) rather than either page being dropped. One
// page resumes and gets every byte in order once the other, which never resumes, has been
// dropped for staying behind.
TEST(WebFlowControl, AFloodWaitsForPagesThatStopReadingAndReachesTheOneThatResumes) {
    OrvexTest::CliHome home;
    OrvexTest::TempGitRepo repo;
    home.ok({"open", repo.path()});
    auto server = OrvexServer::ServerConnection::connect(home.socketPath());
    std::string workspaceID = server->call("state.get")["workspaces"][0]["id"];
    std::string sessionID = server->call("session.add", {{"workspaceID", workspaceID},
                                                         {"title", "flood"},
                                                         {"branch", "flood"},
                                                         {"command", nullptr},
                                                         {"useWorktree", true},
                                                         {"rows", 1},
                                                         {"cols", 1}})["session"]["id"];
    server->call("grid.open", {{"id", sessionID}});
    json grid;
    ASSERT_TRUE(OrvexTest::eventually([&] {
        grid = server->call("grid.list", {{"id", sessionID}});
        return grid["terminals"].size() == 1;
    }));
    const std::string terminal = grid["terminals"][0]["id"];
    const std::string worktree = home.sessionsRoot() + "/flood";
    // Numbered lines, so a lost, doubled or reordered piece shows; far more than the queues
    // and the system's buffers hold.
    std::string content;
    for (int line = 0; content.size() < (6u << 20); ++line) {
        content += fmt::format("{:08d} the quick brown fox jumps over the lazy dog\n", line);
    }
    std::ofstream(worktree + "/big.txt", std::ios::binary) << content;

    std::string address = server->call("web.address")["address"];
    const auto port =
        static_cast<unsigned short>(std::stoi(address.substr(address.rfind(':') + 1)));
    const std::string token = address.substr(address.find("token=") + 6);
    PageClient resuming(port, token);
    PageClient stopped(port, token);
    for (auto* page : {&resuming, &stopped}) {
        page->call("terminal.subscribe", {{"id", terminal}});
    }
    resuming.sendBinary(fmt::format(
        "I{}{}", terminal, "sh -c 'echo $$ > writer.pid; exec cat big.txt'; echo EN''D\r"));

    // The writer is held: asleep with its progress standing, short of the end.
    const std::string pidFile = worktree + "/writer.pid";
    std::string proc;
    ASSERT_TRUE(OrvexTest::eventually([&] {
        std::ifstream in(pidFile);
        int pid = 0;
        if (in >> pid && pid > 0) {
            proc = fmt::format("/proc/{}/", pid);
        }
        return !proc.empty();
    }));
    auto progress = [&]() -> std::optional<std::pair<char, std::uint64_t>> {
        std::ifstream stat(proc + "stat"), io(proc + "io");
        std::string statLine, key;
        std::uint64_t readBytes = 0;
        if (!std::getline(stat, statLine) || !(io >> key >> readBytes)) {
            return std::nullopt;
        }
        return std::pair{statLine[statLine.rfind(')') + 2], readBytes};
    };
    std::optional<std::pair<char, std::uint64_t>> last;
    int unchanged = 0;
    ASSERT_TRUE(OrvexTest::eventually([&] {
        auto now = progress();
        if (!now) {
            return false; // ended: nothing held it
        }
        unchanged = now->first == 'S' && last == now ? unchanged + 1 : 0;
        last = now;
        return unchanged >= 10;
    })) << "the writer was never held";
    ASSERT_LT(last->second, content.size());

    // Resumed, drawing as a page does; the flood goes on once the stopped page is dropped.
    const std::string marker = "\nEND\r\n";
    std::uint64_t told = 0;
    std::size_t searched = 0;
    while (resuming.output.find(marker, searched) == std::string::npos) {
        searched = resuming.output.size() - std::min(resuming.output.size(), marker.size());
        ASSERT_TRUE(resuming.read()) << "the resuming page was dropped";
        if (resuming.drawn - told >= 64 * 1024) {
            resuming.acknowledge();
            told = resuming.drawn;
        }
    }
    const auto start = resuming.output.find("00000000 the quick");
    ASSERT_NE(start, std::string::npos);
    // The terminal ends each line with CR LF.
    std::size_t at = start;
    std::size_t same = 0;
    for (; same < content.size() && at < resuming.output.size(); ++same) {
        if (content[same] == '\n' && resuming.output[at] == '\r') {
            ++at;
        }
        if (at >= resuming.output.size() || resuming.output[at] != content[same]) {
            break;
        }
        ++at;
    }
    EXPECT_EQ(same, content.size()) << "the first difference";
    EXPECT_EQ(resuming.output.compare(at, 5, "END\r\n"), 0) << "more than the file";
    stopped.readUntilClosed();
}
