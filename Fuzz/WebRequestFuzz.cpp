// The web listener's HTTP handling on any bytes, through real loopback connections to a real
// listener. The input is a few connections; each sends its bytes (one or more requests,
// pipelined, truncated or malformed), and when it ends on a WebSocket upgrade, WebSocket
// frames after the server's 101. Placeholders let inputs carry the listener's own values:
// "{port}", "{token}" and "{id}" (the one stand-in terminal).
//
// For every connection:
// - every byte the server writes is a well-formed HTTP/1.x response (after a 101, WebSocket
//   frames); the n-th response answers the n-th request: each complete request gets exactly
//   one answer unless an earlier answer closed the connection, and at most one more answer
//   (400, 413 or 431) refuses bytes that are no complete request;
// - a page, its script or style (200), the token (303 alone, in its cookie) and the WebSocket
//   (101) only for a GET on a loopback Host with the right cookie (or the right token, for the
//   303); a foreign Host gets 403, another method 405, and every status is a stated one
//   (426 only for a WebSocket handshake of another version);
// - a request on a loopback Host that carries exactly the right cookie gets its file;
// - every answer carries the security headers and no CORS header;
// - nothing reaches the request handler or the terminals, and no screen reaches the client,
//   without the upgrade; keystrokes reach the terminal byte for byte and in order.
// After the connections, a fresh connection is still served and no connection is left open.
//
// Input: three bytes setting the header, body and WebSocket message limits (small, so short
// inputs pass them), then connections separated by 0x1e; in each, the HTTP bytes and then
// frames, each led by 0x1d and a letter naming its kind (Support/WebSocketFrames.hpp).

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <nlohmann/json.hpp>

#include "OrvexServer/WebAssets.hpp"
#include "OrvexServer/WebSecurity.hpp"
#include "OrvexServer/WebServer.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"
#include "Support/HelloThenEcho.hpp"
#include "Support/WebSocketFrames.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using nlohmann::json;
using namespace asio::experimental::awaitable_operators;
namespace WebSocketFrames = OrvexFuzz::WebSocketFrames;

namespace {

const std::string terminalID = OrvexTest::webTerminalID;
/// The stand-in terminal's screen: it must reach no client that has not been let in.
const std::string screen = "\x1b[Hthe-screen-of-the-terminal";

/// What the server's handler and terminals were asked, to hold it against what each
/// connection was allowed.
struct Reached {
    std::size_t calls = 0;
    std::vector<std::string> typed;
};

/// One connection of the input: its HTTP bytes and the WebSocket frames to send after a 101.
struct Script {
    std::string http;
    std::vector<std::string_view> frames;
};

std::string substituted(std::string_view text, unsigned short port, const std::string& token) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i).starts_with("{port}")) {
            out += std::to_string(port);
            i += 6;
        } else if (text.substr(i).starts_with("{token}")) {
            out += token;
            i += 7;
        } else if (text.substr(i).starts_with("{id}")) {
            out += terminalID;
            i += 4;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

/// Gives `parser` the bytes of one message from the front of `bytes`; how many it took.
std::size_t feed(auto& parser, std::string_view bytes, beast::error_code& error) {
    std::size_t used = 0;
    while (!parser.is_done() && !error && used < bytes.size()) {
        const auto n = parser.put(asio::buffer(bytes.data() + used, bytes.size() - used), error);
        used += n;
        if (n == 0 && !error) {
            break;
        }
    }
    return used;
}

/// The requests in `bytes` as the listener's limits let them be read, each complete; `rest`
/// is what follows the last of them.
struct SentRequests {
    std::vector<Request> complete;
    std::string_view rest;
};

SentRequests requestsIn(std::string_view bytes, const OrvexServer::WebServer::Limits& limits) {
    SentRequests sent;
    while (!bytes.empty()) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits.maxHeaderBytes));
        parser.body_limit(limits.maxBodyBytes);
        parser.eager(true);
        beast::error_code error;
        const auto used = feed(parser, bytes, error);
        if (!parser.is_done()) {
            break;
        }
        sent.complete.push_back(parser.release());
        bytes.remove_prefix(used);
    }
    sent.rest = bytes;
    return sent;
}

/// What came back on one connection: the HTTP responses, then (after a 101) frame bytes.
struct Received {
    std::string bytes;
    std::vector<Response> responses;
    std::size_t parsed = 0;
    bool upgraded = false;
    bool malformed = false;
    bool reset = false;

    /// Reads every whole response now in `bytes`, the n-th answering `requests[n]` (a HEAD's
    /// answer has no body).
    void parse(const std::vector<Request>& requests) {
        while (!upgraded && !malformed && parsed < bytes.size()) {
            http::response_parser<http::string_body> parser;
            parser.body_limit(boost::none);
            parser.eager(true);
            const auto index = responses.size();
            if (index < requests.size() && requests[index].method() == http::verb::head) {
                parser.skip(true);
            }
            beast::error_code error;
            const auto used = feed(parser, std::string_view(bytes).substr(parsed), error);
            if (error && error != http::error::need_more) {
                malformed = true;
                return;
            }
            if (!parser.is_done()) {
                return;
            }
            responses.push_back(parser.release());
            parsed += used;
            upgraded = responses.back().result() == http::status::switching_protocols;
        }
    }
};

/// Set once the client knows whether its last request was taken as an upgrade.
struct Verdict {
    explicit Verdict(asio::any_io_executor executor) : timer(executor) {
        timer.expires_at(asio::steady_timer::time_point::max());
    }
    void decide() {
        decided = true;
        timer.cancel();
    }
    bool decided = false;
    asio::steady_timer timer;
};

asio::awaitable<void> writeScript(tcp::socket& socket, const std::string& http,
                                  const std::vector<std::string>& frames, Verdict& verdict,
                                  const Received& received) {
    auto [error, n] =
        co_await asio::async_write(socket, asio::buffer(http), asio::as_tuple(asio::use_awaitable));
    if (!error && !frames.empty()) {
        // A client sends no frame before the server's 101 (what follows the upgrade request
        // in the same read is not kept).
        if (!verdict.decided) {
            co_await verdict.timer.async_wait(asio::as_tuple(asio::use_awaitable));
        }
        if (received.upgraded) {
            for (const auto& frame : frames) {
                auto [failed, m] = co_await asio::async_write(socket, asio::buffer(frame),
                                                              asio::as_tuple(asio::use_awaitable));
                if (failed) {
                    break;
                }
            }
        }
    }
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
}

asio::awaitable<void> readAll(tcp::socket& socket, Received& received,
                              const std::vector<Request>& requests, Verdict& verdict) {
    char chunk[16 * 1024];
    for (;;) {
        auto [error, n] = co_await socket.async_read_some(asio::buffer(chunk),
                                                          asio::as_tuple(asio::use_awaitable));
        received.bytes.append(chunk, n);
        received.parse(requests);
        if (received.upgraded || received.responses.size() >= requests.size()) {
            verdict.decide();
        }
        if (error) {
            received.reset = error == asio::error::connection_reset;
            break;
        }
    }
    verdict.decide();
}

asio::awaitable<Received> exchange(unsigned short port, const std::string& http,
                                   const std::vector<std::string>& frames,
                                   const std::vector<Request>& requests) {
    auto executor = co_await asio::this_coro::executor;
    tcp::socket socket(executor);
    co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port}, asio::use_awaitable);
    Received received;
    Verdict verdict(executor);
    co_await (writeScript(socket, http, frames, verdict, received) &&
              readAll(socket, received, requests, verdict));
    co_return received;
}

bool loopbackHost(std::string_view host, unsigned short port) {
    const std::string suffix = ":" + std::to_string(port);
    if (!host.ends_with(suffix)) {
        return false;
    }
    host.remove_suffix(suffix.size());
    std::string name(host);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host == "127.0.0.1" || host == "[::1]" || name == "localhost";
}

std::string_view field(const auto& message, const auto& name) {
    const auto value = message[name];
    return {value.data(), value.size()};
}

std::string_view pathOf(std::string_view target) {
    return target.substr(0, target.find_first_of("?#"));
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string wholeText(const Response& response) {
    std::string text;
    for (const auto& f : response) {
        text += f.name_string();
        text += ": ";
        text += f.value();
        text += "\n";
    }
    return text + response.body();
}

/// The properties of one answer to one complete request.
void checkAnswer(const Request& request, const Response& response, unsigned short port,
                 const std::string& token) {
    const auto status = response.result_int();
    static const std::vector<unsigned> stated{101, 200, 303, 400, 401, 403,
                                              404, 405, 413, 426, 431};
    FUZZ_CHECK(std::find(stated.begin(), stated.end(), status) != stated.end());
    FUZZ_CHECK(response.version() == 10 || response.version() == 11);

    const bool hostAllowed = loopbackHost(field(request, http::field::host), port);
    const bool get = request.method() == http::verb::get;
    const std::string cookie = std::string(OrvexServer::WebSecurity::cookieName) + "=" + token;
    const bool hasCookie = contains(field(request, http::field::cookie), cookie);
    const std::string_view target(request.target().data(), request.target().size());
    const auto path = pathOf(target);

    if (!hostAllowed) {
        FUZZ_CHECK(status == 403);
    } else if (!get) {
        FUZZ_CHECK(status == 405 && field(response, http::field::allow) == "GET");
    }
    if (status == 200) {
        const auto* asset = OrvexServer::findWebAsset(path);
        FUZZ_CHECK(hostAllowed && get && hasCookie && asset);
        FUZZ_CHECK(response.body() == asset->body);
        FUZZ_CHECK(field(response, http::field::content_type) == asset->contentType);
    }
    if (status == 303) {
        FUZZ_CHECK(hostAllowed && get && contains(target, "token=" + token));
        const auto set = field(response, http::field::set_cookie);
        FUZZ_CHECK(set.starts_with(cookie + ";") && contains(set, "HttpOnly") &&
                   contains(set, "SameSite=Strict"));
    } else {
        // The token leaves the server in the cookie it sets and nowhere else.
        FUZZ_CHECK(!contains(wholeText(response), token));
    }
    if (status == 101) {
        FUZZ_CHECK(hostAllowed && get && hasCookie && path == "/ws");
        FUZZ_CHECK(field(request, http::field::origin) ==
                   "http://" + std::string(field(request, http::field::host)));
    }
    // Someone let in gets the file asked for, with nothing else in the way.
    if (hostAllowed && get && field(request, http::field::cookie) == cookie &&
        !request.count(http::field::upgrade) && !contains(target, "token") &&
        OrvexServer::findWebAsset(path)) {
        FUZZ_CHECK(status == 200);
    }
    if (status == 426) {
        FUZZ_CHECK(hostAllowed && get && hasCookie && path == "/ws");
    }
    FUZZ_CHECK(field(response, "Content-Security-Policy") ==
               OrvexServer::WebSecurity::contentSecurityPolicy);
    FUZZ_CHECK(field(response, "X-Content-Type-Options") == "nosniff");
    for (const auto& f : response) {
        FUZZ_CHECK(!std::string_view(f.name_string()).starts_with("Access-Control-"));
    }
}

void checkConnection(const SentRequests& sent, const Received& received, unsigned short port,
                     const std::string& token) {
    // Bytes that are no response are allowed only where a reset cut the last one short.
    FUZZ_CHECK(!received.malformed);
    FUZZ_CHECK(received.upgraded || received.parsed == received.bytes.size() || received.reset);
    const auto& responses = received.responses;
    const auto& requests = sent.complete;
    FUZZ_CHECK(responses.size() <= requests.size() + 1);
    for (std::size_t i = 0; i < responses.size(); ++i) {
        const auto& response = responses[i];
        const bool last = i + 1 == responses.size();
        const bool refusesBytes =
            response.result() == http::status::bad_request ||
            response.result() == http::status::payload_too_large ||
            response.result() == http::status::request_header_fields_too_large;
        if (i == requests.size()) {
            // The answer to bytes that are no complete request ends the connection.
            FUZZ_CHECK(refusesBytes && !response.keep_alive() && !sent.rest.empty());
            continue;
        }
        checkAnswer(requests[i], response, port, token);
        if (!response.keep_alive() || response.result() == http::status::switching_protocols) {
            FUZZ_CHECK(last);
        } else {
            FUZZ_CHECK(requests[i].keep_alive());
        }
        if (response.result() == http::status::payload_too_large) {
            // A body in chunks may not fit the read buffer even when its data does.
            FUZZ_CHECK(requests[i].chunked());
        } else if (refusesBytes) {
            // A WebSocket handshake the library refuses (no key, say) is a request it read.
            FUZZ_CHECK(response.result() == http::status::bad_request &&
                       beast::websocket::is_upgrade(requests[i]));
        }
    }
    // A kept-alive connection answers every complete request; a handshake, taken or not,
    // ends the HTTP part of the connection.
    const bool handshake = !responses.empty() && responses.size() <= requests.size() &&
                           beast::websocket::is_upgrade(requests[responses.size() - 1]);
    if (!received.reset && !handshake && (responses.empty() || responses.back().keep_alive())) {
        FUZZ_CHECK(responses.size() >= requests.size());
    }
}

/// The frames of `frames` encoded as a browser sends them, and the keystrokes they carry.
struct EncodedFrames {
    std::vector<std::string> bytes;
    std::vector<std::string> typed;
    /// Whether the server may have read messages the oracle did not follow.
    bool open = false;
    /// Whether a message may have been a hello.
    bool greets = false;
};

EncodedFrames encode(const std::vector<std::string_view>& frames, std::size_t maxMessage,
                     unsigned short port, const std::string& token) {
    EncodedFrames encoded;
    WebSocketFrames::Assembler assembler(maxMessage);
    for (const auto layout : frames) {
        if (layout.empty()) {
            continue;
        }
        const std::string payload = substituted(layout.substr(1), port, token);
        const auto frame = WebSocketFrames::fromLayout(layout.front(), payload);
        encoded.bytes.push_back(frame.bytes);
        if (!frame.understood) {
            assembler.giveUp();
            continue;
        }
        if (auto message = assembler.add(frame)) {
            if (message->binary && message->data.size() >= 37 && message->data[0] == 'I' &&
                OrvexCore::UUID::parse(message->data.substr(1, 36)) ==
                    OrvexCore::UUID::parse(terminalID)) {
                encoded.typed.push_back(message->data.substr(37));
            }
            if (!message->binary && contains(message->data, "\"hello\"")) {
                encoded.greets = true;
            }
        }
    }
    encoded.open = assembler.unknown();
    return encoded;
}

/// The properties of what the server sent after its 101.
void checkPage(const std::string& bytes, const EncodedFrames& sent) {
    const auto messages = WebSocketFrames::serverMessages(bytes);
    FUZZ_CHECK(messages.wellFormed);
    for (const auto& message : messages.list) {
        if (message.binary) {
            FUZZ_CHECK(message.data.size() >= 37 && message.data.substr(1, 36) == terminalID);
            FUZZ_CHECK(message.data[0] == 'S' && message.data.substr(37) == screen);
            // A screen goes only to a page that said hello.
            FUZZ_CHECK(sent.greets || sent.open);
        } else {
            const json answer = json::parse(message.data, nullptr, false);
            FUZZ_CHECK(answer.is_object());
            if (!answer.contains("event")) {
                FUZZ_CHECK(answer.contains("id") &&
                           answer.contains("result") != answer.contains("error"));
            }
        }
    }
}

asio::awaitable<void> script(OrvexServer::WebServer& server,
                             const OrvexServer::WebServer::Limits& limits,
                             const std::vector<Script>& connections, Reached& reached, bool& done) {
    const auto port = server.port();
    const auto& token = server.token();
    for (const auto& connection : connections) {
        const std::string http = substituted(connection.http, port, token);
        const auto sent = requestsIn(http, limits);
        // Frames follow only a request that ends the bytes and asks for the upgrade.
        EncodedFrames frames;
        if (sent.rest.empty() && !sent.complete.empty() &&
            sent.complete.back().count(http::field::upgrade)) {
            frames = encode(connection.frames, limits.maxMessageBytes, port, token);
        }
        const auto callsBefore = reached.calls;
        const auto typedBefore = reached.typed.size();
        const auto received = co_await exchange(port, http, frames.bytes, sent.complete);
        checkConnection(sent, received, port, token);
        if (!received.upgraded) {
            FUZZ_CHECK(reached.calls == callsBefore);
            FUZZ_CHECK(!contains(received.bytes, screen));
            continue;
        }
        checkPage(received.bytes.substr(received.parsed), frames);
        // Keystrokes arrive whole and in order; an error may end them early.
        const std::vector<std::string> typed(reached.typed.begin() + typedBefore,
                                             reached.typed.end());
        FUZZ_CHECK(frames.open || typed.size() <= frames.typed.size());
        for (std::size_t i = 0; i < std::min(typed.size(), frames.typed.size()); ++i) {
            FUZZ_CHECK(typed[i] == frames.typed[i]);
        }
    }

    // The listener still serves whoever comes next.
    const std::string probe = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nCookie: " + std::string(OrvexServer::WebSecurity::cookieName) +
                              "=" + token + "\r\n\r\n";
    const auto sent = requestsIn(probe, limits);
    const auto received = co_await exchange(port, probe, {}, sent.complete);
    FUZZ_CHECK(received.responses.size() == 1 &&
               received.responses[0].result() == http::status::ok);
    done = true;
}

std::vector<Script> scriptsOf(std::string_view text) {
    std::vector<Script> scripts;
    OrvexFuzz::FuzzInput input(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    while (!input.rest().empty()) {
        const auto bytes = input.takeUntil(WebSocketFrames::connectionSeparator);
        OrvexFuzz::FuzzInput parts(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
        Script script{std::string(parts.takeUntil(WebSocketFrames::frameSeparator)), {}};
        while (!parts.rest().empty()) {
            script.frames.push_back(parts.takeUntil(WebSocketFrames::frameSeparator));
        }
        scripts.push_back(std::move(script));
    }
    return scripts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    // Limits small enough for short inputs to pass them.
    OrvexServer::WebServer::Limits limits;
    limits.maxHeaderBytes = 128 + std::size_t{input.byte()} * 16;
    limits.maxBodyBytes = std::size_t{input.byte()} * 8;
    limits.maxMessageBytes = 64 + std::size_t{input.byte()} * 16;
    // Every client here ends its sending side: a connection left waiting is a fault, which
    // the fuzzer's own time-out reports before this one would.
    limits.requestTimeout = std::chrono::seconds(60);
    const auto connections = scriptsOf(input.rest());

    Reached reached;
    OrvexServer::WebTerminals terminals;
    terminals.screen = [&](const OrvexCore::UUID& id) -> std::optional<std::string> {
        ++reached.calls;
        return id.string() == terminalID ? std::optional(screen) : std::nullopt;
    };
    terminals.input = [&](const OrvexCore::UUID& id, std::string_view bytes) {
        ++reached.calls;
        if (id.string() != terminalID) {
            return false;
        }
        reached.typed.emplace_back(bytes);
        return true;
    };
    terminals.resize = [&](const OrvexCore::UUID& id, int, int) {
        ++reached.calls;
        return id.string() == terminalID;
    };
    auto handler = [&](std::shared_ptr<OrvexServer::Client> client, std::string method,
                       json params) {
        ++reached.calls;
        return OrvexTest::helloThenEcho(std::move(client), std::move(method), std::move(params));
    };

    asio::io_context io;
    auto server =
        std::make_unique<OrvexServer::WebServer>(io.get_executor(), handler, terminals, limits);
    server->listen(0);
    bool done = false;
    asio::co_spawn(io, script(*server, limits, connections, reached, done),
                   [](std::exception_ptr error) {
                       if (error) {
                           std::rethrow_exception(error);
                       }
                   });
    while (!done && io.run_one() > 0) {
    }
    FUZZ_CHECK(done);
    // Each connection ends when its client has gone; ten seconds without any event means one
    // never will.
    while (server->connectionCount() > 0 && io.run_one_for(std::chrono::seconds(10)) > 0) {
    }
    FUZZ_CHECK(server->connectionCount() == 0);
    server.reset();
    io.run();
    return 0;
}
