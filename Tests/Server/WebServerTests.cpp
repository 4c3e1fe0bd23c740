// The web listener's security rules one by one, its WebSocket round trip, and its behaviour
// under thousands of malformed requests and frames: each is refused with a status or a closed
// connection, and the listener goes on serving.

#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "OrvexServer/WebSecurity.hpp"
#include "OrvexServer/WebServer.hpp"
#include "Support/HelloThenEcho.hpp"
#include "Support/ReadAll.hpp"
#include "Support/WebServerThread.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using nlohmann::json;
using OrvexServer::WebServer;

namespace {

const std::string terminalID = OrvexTest::webTerminalID;

/// A listener on a real loopback port with the stand-in request handler and one stand-in
/// terminal.
class WebServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        OrvexServer::WebTerminals terminals;
        terminals.screen = [](const OrvexCore::UUID& id) -> std::optional<std::string> {
            if (id.string() != terminalID) {
                return std::nullopt;
            }
            return std::string("\x1b[HSCREEN");
        };
        terminals.input = [this](const OrvexCore::UUID& id, std::string_view bytes) {
            std::lock_guard lock(mutex_);
            typed_ += bytes;
            return id.string() == terminalID;
        };
        terminals.resize = [this](const OrvexCore::UUID& id, int rows, int cols) {
            std::lock_guard lock(mutex_);
            size_ = {rows, cols};
            return id.string() == terminalID;
        };
        WebServer::Limits limits;
        limits.maxHeaderBytes = 4096;
        limits.maxBodyBytes = 1024;
        limits.maxMessageBytes = 64 * 1024;
        limits.requestTimeout = std::chrono::seconds(5);
        web_.emplace(OrvexTest::helloThenEcho, terminals, limits);
        port_ = web_->port();
    }

    void TearDown() override { web_.reset(); }

    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string cookie() const {
        return std::string(OrvexServer::WebSecurity::cookieName) + "=" + web_->token();
    }

    /// One request on a fresh connection; the answer as Beast reads it.
    http::response<http::string_body> get(const std::string& target, const std::string& hostHeader,
                                          std::optional<std::string> cookieHeader,
                                          http::fields extra = {}) {
        asio::io_context client;
        tcp::socket socket(client);
        socket.connect({asio::ip::make_address("127.0.0.1"), port_});
        http::request<http::string_body> request{http::verb::get, target, 11};
        request.set(http::field::host, hostHeader);
        if (cookieHeader) {
            request.set(http::field::cookie, *cookieHeader);
        }
        for (const auto& field : extra) {
            request.set(field.name_string(), field.value());
        }
        http::write(socket, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response;
    }

    /// Sends `bytes` on a fresh connection, ends the sending side, and returns all the server
    /// wrote before closing (empty when it closed without a word).
    std::string exchange(const std::string& bytes) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        // A server that neither answers nor closes hangs here, until the test's time limit.
        std::string answer = OrvexTest::readAll(fd);
        ::close(fd);
        return answer;
    }

    /// A page's WebSocket, handshake done with the cookie and the page's origin.
    std::unique_ptr<websocket::stream<tcp::socket>> openPage(asio::io_context& client) {
        auto ws = std::make_unique<websocket::stream<tcp::socket>>(client);
        ws->next_layer().connect({asio::ip::make_address("127.0.0.1"), port_});
        ws->next_layer().set_option(tcp::no_delay(true)); // as browsers do
        ws->set_option(websocket::stream_base::decorator([this](websocket::request_type& r) {
            r.set(http::field::cookie, cookie());
            r.set(http::field::origin, "http://" + host());
        }));
        ws->handshake(host(), "/ws");
        return ws;
    }

    static json call(websocket::stream<tcp::socket>& ws, const json& request) {
        ws.text(true);
        ws.write(asio::buffer(request.dump()));
        for (;;) {
            beast::flat_buffer buffer;
            ws.read(buffer);
            if (ws.got_text()) {
                auto answer = json::parse(beast::buffers_to_string(buffer.data()));
                if (answer.contains("id")) {
                    return answer;
                }
            }
        }
    }

    std::optional<OrvexTest::WebServerThread> web_;
    unsigned short port_ = 0;
    std::mutex mutex_;
    std::string typed_;
    std::pair<int, int> size_;
};

http::fields upgradeHeaders(std::optional<std::string> origin) {
    http::fields fields;
    fields.set(http::field::connection, "Upgrade");
    fields.set(http::field::upgrade, "websocket");
    fields.set(http::field::sec_websocket_version, "13");
    fields.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    if (origin) {
        fields.set(http::field::origin, *origin);
    }
    return fields;
}

// A foreign or missing Host (403), another method (405), and the security headers on every
// answer are checked by the web request fuzz target on each answer it gets.
TEST_F(WebServerFixture, RefusesEveryRequestThatBreaksARule) {
    struct Case {
        const char* what;
        std::string target;
        std::string host;
        std::optional<std::string> cookie;
        http::fields extra;
        unsigned status;
    };
    const std::vector<Case> cases{
        {"no token", "/", host(), std::nullopt, {}, 401},
        {"no token for a file", "/app.js", host(), std::nullopt, {}, 401},
        {"a wrong token", "/?token=" + std::string(64, '0'), host(), std::nullopt, {}, 401},
        {"a wrong cookie", "/", host(), "orvex_token=" + std::string(64, 'f'), {}, 401},
        {"an upgrade without the cookie", "/ws", host(), std::nullopt,
         upgradeHeaders("http://" + host()), 401},
        {"an upgrade from a foreign origin", "/ws", host(), cookie(),
         upgradeHeaders("http://evil.example"), 403},
        {"an upgrade from our host on another port", "/ws", host(), cookie(),
         upgradeHeaders("http://127.0.0.1:1"), 403},
        {"an upgrade with no origin", "/ws", host(), cookie(), upgradeHeaders(std::nullopt), 403},
        {"an unknown file", "/nothing-here", host(), cookie(), {}, 404},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(get(c.target, c.host, c.cookie, c.extra).result_int(), c.status) << c.what;
    }
}

TEST_F(WebServerFixture, TokenBecomesAStrictCookieThatOpensThePageOnEveryLoopbackName) {
    auto exchange = get("/?token=" + web_->token(), host(), std::nullopt);
    EXPECT_EQ(exchange.result_int(), 303);
    EXPECT_EQ(std::string(exchange[http::field::location]), "/");
    EXPECT_EQ(std::string(exchange[http::field::set_cookie]),
              cookie() + "; HttpOnly; SameSite=Strict; Path=/");

    for (const std::string name : {"127.0.0.1", "localhost", "LocalHost", "[::1]"}) {
        auto page = get("/", name + ":" + std::to_string(port_), cookie());
        EXPECT_EQ(page.result_int(), 200) << name;
        EXPECT_EQ(std::string(page[http::field::content_type]), "text/html; charset=utf-8");
        EXPECT_NE(page.body().find("/app.js"), std::string::npos);
    }
    auto script = get("/app.js", host(), "other=1; " + cookie());
    EXPECT_EQ(script.result_int(), 200);
    EXPECT_EQ(std::string(script[http::field::content_type]), "text/javascript; charset=utf-8");
}

TEST_F(WebServerFixture, OversizedAndUnservedRequestsGetTheirStatus) {
    auto statusOf = [](const std::string& answer) {
        return answer.size() >= 12 ? answer.substr(9, 3) : std::string("closed");
    };
    std::string request = "GET / HTTP/1.1\r\nHost: " + host() + "\r\n";
    EXPECT_EQ(statusOf(exchange(request + "X-Big: " + std::string(8000, 'a') + "\r\n\r\n")), "431");
    std::string manyHeaders;
    for (int i = 0; i < 700; ++i) {
        manyHeaders += "X-" + std::to_string(i) + ": v\r\n";
    }
    EXPECT_EQ(statusOf(exchange(request + manyHeaders + "\r\n")), "431");
    EXPECT_EQ(statusOf(exchange("POST / HTTP/1.1\r\nHost: " + host() +
                                "\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'))),
              "413");
    EXPECT_EQ(statusOf(exchange("GARBAGE\r\n\r\n")), "400");
}

TEST_F(WebServerFixture, PageSpeaksRequestsAndTerminalBytes) {
    asio::io_context client;
    auto ws = openPage(client);

    auto early = call(*ws, {{"id", 1}, {"method", "echo"}});
    EXPECT_EQ(early["error"]["code"], "helloRequired");
    EXPECT_EQ(
        call(*ws,
             {{"id", 2}, {"method", "hello"}, {"params", {{"version", 1}}}})["result"]["version"],
        1);
    EXPECT_EQ(call(*ws, {{"id", "x"}, {"method", "echo"}, {"params", {{"a", 1}}}})["result"]["a"],
              1);
    EXPECT_EQ(call(*ws, {{"id", 3}, {"method", 5}})["error"]["code"], "invalidRequest");
    EXPECT_EQ(
        call(*ws, {{"id", 4},
                   {"method", "terminal.subscribe"},
                   {"params", {{"id", "00000000-0000-4000-8000-000000000000"}}}})["error"]["code"],
        "notFound");

    // Subscribing answers first, then sends the current screen.
    EXPECT_TRUE(
        call(*ws, {{"id", 5}, {"method", "terminal.subscribe"}, {"params", {{"id", terminalID}}}})
            .contains("result"));
    beast::flat_buffer buffer;
    ws->read(buffer);
    EXPECT_FALSE(ws->got_text());
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), "S" + terminalID + "\x1b[HSCREEN");

    web_->post([](WebServer& server) {
        server.terminalOutput(*OrvexCore::UUID::parse(terminalID), "out");
    });
    buffer.clear();
    ws->read(buffer);
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), "O" + terminalID + "out");

    EXPECT_EQ(
        call(*ws, {{"id", 6},
                   {"method", "terminal.resize"},
                   {"params", {{"id", terminalID}, {"rows", 0}, {"cols", 80}}}})["error"]["code"],
        "invalidParams");
    ws->binary(true);
    ws->write(asio::buffer("I" + terminalID + "typed"));
    // The answer to the next request comes after the keystrokes were handed on.
    EXPECT_TRUE(call(*ws, {{"id", 7},
                           {"method", "terminal.resize"},
                           {"params", {{"id", terminalID}, {"rows", 30}, {"cols", 100}}}})
                    .contains("result"));
    std::lock_guard lock(mutex_);
    EXPECT_EQ(typed_, "typed");
    EXPECT_EQ(size_, std::make_pair(30, 100));
}

TEST_F(WebServerFixture, OversizedMessageClosesThePageAndOthersGoOn) {
    asio::io_context client;
    auto ws = openPage(client);
    ws->binary(true);
    boost::system::error_code error;
    // The server may hang up before the whole message is sent: the write then fails.
    ws->write(asio::buffer(std::string(100 * 1024, 'I')), error);
    beast::flat_buffer buffer;
    if (!error) {
        ws->read(buffer, error);
    }
    // The server says why in its close frame and hangs up. When it hangs up while the page is
    // still sending, the page's side sees the connection reset or gone (which error depends on
    // the moment) instead of the frame: the same refusal.
    ASSERT_TRUE(error) << "the page was not closed";
    if (error == websocket::error::closed) {
        EXPECT_EQ(ws->reason().code, websocket::close_code::too_big);
    }

    auto other = openPage(client);
    EXPECT_TRUE(call(*other, {{"id", 1}, {"method", "hello"}}).contains("result"));
}

TEST_F(WebServerFixture, ThousandsOfBrokenRequestsAndFramesLeaveTheServerServing) {
    std::mt19937 random(20261207);
    auto byte = [&] { return static_cast<char>(random() & 0xff); };
    // The page itself, not the script: a mutated request that still reads well is answered
    // with the whole body, and the page is the small one.
    const std::string valid = "GET / HTTP/1.1\r\nHost: " + host() + "\r\nCookie: " + cookie() +
                              "\r\nConnection: close\r\n\r\n";
    for (int round = 0; round < 2000; ++round) {
        std::string request = valid;
        switch (round % 4) {
        case 0: // truncated anywhere
            request.resize(random() % request.size());
            break;
        case 1: // bytes flipped
            for (int i = 0; i < 4; ++i) {
                request[random() % request.size()] = byte();
            }
            break;
        case 2: // noise
            request.assign(random() % 600, ' ');
            for (auto& c : request) {
                c = byte();
            }
            break;
        default: // a chunked body cut short or malformed
            request = "GET / HTTP/1.1\r\nHost: " + host() +
                      "\r\nTransfer-Encoding: chunked\r\n\r\n" +
                      std::string(1 + random() % 8, "0123456789abcdefZ\r\n"[random() % 19]);
        }
        std::string answer = exchange(request);
        if (!answer.empty()) {
            EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << "round " << round;
        }
        if (round % 250 == 0) {
            ASSERT_EQ(get("/app.js", host(), cookie()).result_int(), 200) << "round " << round;
        }
    }

    // Frames: text that is no request, binary that is no input, then raw bytes that are no
    // WebSocket frame at all.
    asio::io_context client;
    auto ws = openPage(client);
    EXPECT_TRUE(call(*ws, {{"id", 0}, {"method", "hello"}}).contains("result"));
    for (int round = 0; round < 1000; ++round) {
        std::string payload(random() % 200, ' ');
        for (auto& c : payload) {
            c = round % 2 ? byte() : "{}[]\":,0aid"[random() % 11];
        }
        if (round % 2 == 0) {
            ws->text(true);
            ws->write(asio::buffer(payload));
            beast::flat_buffer buffer;
            ws->read(buffer);
            auto answer = json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
            ASSERT_TRUE(answer.is_object() && answer.contains("error")) << payload;
        } else {
            ws->binary(true);
            ws->write(asio::buffer(payload));
        }
    }
    EXPECT_TRUE(call(*ws, {{"id", 1}, {"method", "echo"}}).contains("result"));
    for (int round = 0; round < 200; ++round) {
        auto raw = openPage(client);
        std::string noise(1 + random() % 64, ' ');
        for (auto& c : noise) {
            c = byte();
        }
        asio::write(raw->next_layer(), asio::buffer(noise));
        raw->next_layer().shutdown(tcp::socket::shutdown_send);
        beast::flat_buffer buffer;
        boost::system::error_code error;
        raw->read(buffer, error);
    }
    auto last = openPage(client);
    EXPECT_TRUE(call(*last, {{"id", 1}, {"method", "hello"}}).contains("result"));
    EXPECT_EQ(get("/", host(), cookie()).result_int(), 200);
}

} // namespace
