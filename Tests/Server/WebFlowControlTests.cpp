// Flow control for web pages: a page that falls behind holds the programs it watches instead of
// being dropped at once, catches up by reading and acknowledging what it drew, and is dropped
// when it stays behind. Once with a listener and stand-in terminals (the acknowledgement rules),
// once end to end: the real server, a real shell flooding, pages that stop reading.

#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "OrvexServer/WebSecurity.hpp"
#include "OrvexServer/WebServer.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/WebServerThread.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using nlohmann::json;
using OrvexCore::UUID;

namespace {

/// A page's connection as the page speaks it: JSON requests, terminal frames in (their bytes
/// counted in `drawn`, output kept in `output`), acknowledgements out. Reads are bounded.
class PageClient {
public:
    PageClient(unsigned short port, const std::string& token) : ws_(io_) {
        // A small receive buffer keeps what the system holds for a page that stops reading small.
        ws_.next_layer().open(tcp::v4());
        ws_.next_layer().set_option(asio::socket_base::receive_buffer_size(64 * 1024));
        ws_.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
        const std::string host = fmt::format("127.0.0.1:{}", port);
        ws_.set_option(websocket::stream_base::decorator([=](websocket::request_type& request) {
            request.set(beast::http::field::cookie,
                        fmt::format("{}={}", OrvexServer::WebSecurity::cookieName, token));
            request.set(beast::http::field::origin, "http://" + host);
        }));
        ws_.handshake(host, "/ws");
        call("hello", {{"version", 1}});
    }

    /// Sends a request and reads until its answer.
    void call(const std::string& method, json params = json::object()) {
        const int id = nextID_++;
        ws_.text(true);
        ws_.write(asio::buffer(json{{"id", id}, {"method", method}, {"params", params}}.dump()));
        while (read()) {
            if (!text_.empty() && json::parse(text_).value("id", 0) == id) {
                return;
            }
        }
        ADD_FAILURE() << "closed before answering " << method;
    }

    /// Reads one message: false once the connection has closed.
    bool read() {
        beast::flat_buffer buffer;
        std::optional<beast::error_code> result;
        ws_.async_read(buffer, [&](beast::error_code error, std::size_t) { result = error; });
        io_.restart();
        io_.run_for(std::chrono::seconds(60));
        if (!result) {
            ADD_FAILURE() << "nothing read in 60 s";
            ws_.next_layer().close();
            io_.restart();
            io_.run();
        }
        if (!result || *result) {
            return false;
        }
        std::string message = beast::buffers_to_string(buffer.data());
        text_ = ws_.got_text() ? message : std::string();
        if (!ws_.got_text() && message.size() >= 37) {
            drawn += message.size() - 37;
            if (message[0] == 'O') {
                output.append(message, 37);
            }
        }
        return true;
    }

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
    std::string text_;
};

const UUID terminalID = *UUID::parse("0B6F6B2E-5C7A-4A52-9A31-3F1C2D4E5F60");

/// A listener with one stand-in terminal whose output the test writes; records how many
/// terminals the page holds after each change (-1: none yet).
class WebFlowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        OrvexServer::WebTerminals terminals;
        terminals.screen = [](const UUID&) -> std::optional<std::string> { return "SCREEN"; };
        terminals.hold = [this](const void*, std::set<UUID> held) {
            std::lock_guard lock(mutex_);
            holds_.push_back(static_cast<int>(held.size()));
        };
        auto handler = [](std::shared_ptr<OrvexServer::Client> client, std::string,
                          json params) -> asio::awaitable<json> {
            client->setGreeted();
            co_return params;
        };
        OrvexServer::WebServer::Limits limits;
        limits.behindBytes = 64 * 1024;
        limits.behindTime = std::chrono::seconds(3);
        web_.emplace(handler, terminals, limits);
    }

    void TearDown() override { web_.reset(); }

    void output(std::string bytes) {
        web_->post([bytes = std::move(bytes)](OrvexServer::WebServer& server) {
            server.terminalOutput(terminalID, bytes);
        });
    }
    std::vector<int> holds() {
        std::lock_guard lock(mutex_);
        return holds_;
    }
    int lastHold() {
        auto all = holds();
        return all.empty() ? -1 : all.back();
    }

    std::optional<OrvexTest::WebServerThread> web_;
    std::mutex mutex_;
    std::vector<int> holds_;
};

} // namespace

// A page that reads everything but stops drawing is behind by what it has not acknowledged;
// acknowledgements that say nothing sound are ignored, and a page that stays behind is dropped
// and lets its terminals go.
TEST_F(WebFlowFixture, APageBehindOnDrawingHoldsItsTerminalsUntilItAcknowledgesOrIsDropped) {
    PageClient page(web_->port(), web_->token());
    page.call("terminal.subscribe", {{"id", terminalID.string()}});
    page.acknowledge();
    auto fallBehind = [&] {
        const auto target = page.drawn + 160 * 1024;
        for (int i = 0; i < 20; ++i) {
            output(std::string(8 * 1024, 'x'));
        }
        while (page.drawn < target) {
            ASSERT_TRUE(page.read());
        }
        ASSERT_TRUE(OrvexTest::eventually([&] { return lastHold() == 1; }));
    };
    fallBehind();

    const auto before = holds();
    for (const std::string bad : {"A", "Ax", "A-5", "A 5", "A5x", "A99999999999999999999", "A0"}) {
        page.sendBinary(bad);
    }
    // Drawn but for half the mark: still behind.
    page.sendBinary(fmt::format("A{}", page.drawn - 32 * 1024));
    page.call("sync");
    EXPECT_EQ(holds(), before);
    page.acknowledge();
    ASSERT_TRUE(OrvexTest::eventually([&] { return lastHold() == 0; }));

    // More than was ever sent counts as all of it, so what comes next is still counted.
    page.sendBinary("A1000000000000");
    page.call("sync");
    EXPECT_EQ(lastHold(), 0);
    fallBehind();

    while (page.read()) {
    }
    EXPECT_EQ(lastHold(), 0);
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
    // (a page's window is 4 MiB) and the system's buffers (a loopback socket's send buffer
    // grows to some MiB) hold.
    std::string content;
    for (int line = 0; content.size() < (16u << 20); ++line) {
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

    // The writer is held: asleep with its progress (bytes read from the file) standing.
    auto progress = [&]() -> std::optional<std::pair<char, std::uint64_t>> {
        int pid = 0;
        std::ifstream(worktree + "/writer.pid") >> pid;
        std::ifstream stat(fmt::format("/proc/{}/stat", pid)), io(fmt::format("/proc/{}/io", pid));
        std::string statLine, key;
        std::uint64_t readBytes = 0;
        if (pid <= 0 || !std::getline(stat, statLine) || !(io >> key >> readBytes)) {
            return std::nullopt;
        }
        return std::pair{statLine[statLine.rfind(')') + 2], readBytes};
    };
    std::optional<std::pair<char, std::uint64_t>> last;
    int unchanged = 0;
    ASSERT_TRUE(OrvexTest::eventually([&] {
        auto now = progress();
        unchanged = now && now->first == 'S' && last == now ? unchanged + 1 : 0;
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
    // Every byte in order (the terminal ends lines with CR LF), then the shell goes on.
    std::string got = resuming.output.substr(resuming.output.find("00000000 the quick"));
    std::erase(got, '\r');
    EXPECT_TRUE(got.compare(0, content.size() + 4, content + "END\n") == 0);
    while (stopped.read()) {
    }
}
