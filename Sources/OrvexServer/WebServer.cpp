#include "OrvexServer/WebServer.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>

#include "OrvexServer/WebAssets.hpp"
#include "OrvexServer/WebSecurity.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using nlohmann::json;

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response makeResponse(http::status status, unsigned version, std::string_view contentType,
                      std::string body) {
    Response response{status, version};
    response.set(http::field::server, "orvex");
    response.set(http::field::content_type, contentType);
    response.set("Content-Security-Policy", WebSecurity::contentSecurityPolicy);
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Referrer-Policy", "no-referrer");
    response.set(http::field::cache_control, "no-store");
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

std::string_view text(beast::string_view view) {
    return {view.data(), view.size()};
}

Response refusal(http::status status, unsigned version, std::string_view why) {
    auto response = makeResponse(status, version, "text/plain; charset=utf-8",
                                 fmt::format("{} {}\n{}\n", static_cast<unsigned>(status),
                                             text(http::obsolete_reason(status)), why));
    response.keep_alive(false);
    return response;
}

/// What to do with one request: answer it, or (`upgrade`) take it as the page's WebSocket.
struct Decision {
    Response response;
    bool upgrade = false;
};

} // namespace

WebServer::WebServer(asio::any_io_executor executor, WebClient::RequestHandler handler,
                     WebTerminals terminals, Limits limits)
    : executor_(std::move(executor)), handler_(std::move(handler)),
      terminals_(std::move(terminals)), limits_(limits), alive_(std::make_shared<bool>(true)) {}

WebServer::~WebServer() {
    close();
    *alive_ = false;
}

void WebServer::listen(unsigned short port) {
    token_ = WebSecurity::makeToken();
    auto open = [&](const asio::ip::address& address, unsigned short at) {
        auto acceptor = std::make_unique<tcp::acceptor>(executor_);
        tcp::endpoint endpoint(address, at);
        acceptor->open(endpoint.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        if (address.is_v6()) {
            acceptor->set_option(asio::ip::v6_only(true));
        }
        acceptor->bind(endpoint);
        acceptor->listen(asio::socket_base::max_listen_connections);
        return acceptor;
    };
    acceptors_.push_back(open(asio::ip::make_address("127.0.0.1"), port));
    port_ = acceptors_.front()->local_endpoint().port();
    try {
        acceptors_.push_back(open(asio::ip::make_address("::1"), port_));
    } catch (const boost::system::system_error&) {
        // No IPv6 loopback here (or its port is taken): 127.0.0.1 serves alone.
    }
    for (auto& acceptor : acceptors_) {
        asio::co_spawn(executor_, acceptLoop(*acceptor), asio::detached);
    }
}

void WebServer::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    boost::system::error_code ignored;
    for (auto& acceptor : acceptors_) {
        acceptor->close(ignored);
    }
    for (auto* stream : std::set(streams_)) {
        stream->socket().close(ignored);
    }
    for (const auto& page : std::set(pages_)) {
        page->close();
    }
    pages_.clear();
}

std::string WebServer::address() const {
    return fmt::format("http://127.0.0.1:{}/?token={}", port_, token_);
}

void WebServer::broadcast(const std::string& name, const json& data) {
    for (const auto& page : std::set(pages_)) {
        page->sendEvent(name, data);
    }
}

void WebServer::terminalOutput(const OrvexCore::UUID& terminalID, std::string_view bytes) {
    for (const auto& page : std::set(pages_)) {
        page->terminalOutput(terminalID, bytes);
    }
}

asio::awaitable<void> WebServer::acceptLoop(tcp::acceptor& acceptor) {
    auto alive = alive_;
    for (;;) {
        auto [error, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (!*alive || closed_ || error == asio::error::operation_aborted) {
            co_return;
        }
        if (error) {
            // Out of descriptors and the like: the next accept may succeed.
            continue;
        }
        if (connectionCount() >= limits_.maxConnections) {
            boost::system::error_code ignored;
            socket.close(ignored);
            continue;
        }
        // A terminal's echo is a few bytes: held back until the page acknowledges the last
        // ones (Nagle's rule against the browser's delayed acknowledgement), each keystroke
        // could wait 40 ms.
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        asio::co_spawn(executor_, serve(std::move(socket)), asio::detached);
    }
}

asio::awaitable<void> WebServer::serve(tcp::socket socket) {
    auto alive = alive_;
    beast::tcp_stream stream(std::move(socket));
    streams_.insert(&stream);
    struct Forget {
        WebServer* server;
        std::shared_ptr<bool> alive;
        beast::tcp_stream* stream;
        ~Forget() {
            if (*alive) {
                server->streams_.erase(stream);
            }
        }
    } forget{this, alive, &stream};

    beast::flat_buffer buffer(limits_.maxHeaderBytes + limits_.maxBodyBytes);
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
        parser.body_limit(limits_.maxBodyBytes);
        stream.expires_after(limits_.requestTimeout);
        auto [error, n] =
            co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
        if (!*alive || closed_) {
            co_return;
        }
        if (error) {
            std::optional<Response> answer;
            if (error == http::error::header_limit) {
                answer = refusal(http::status::request_header_fields_too_large, 11,
                                 "The request's header is too large.");
            } else if (error == http::error::body_limit || error == http::error::buffer_overflow) {
                answer = refusal(http::status::payload_too_large, 11, "The request is too large.");
            } else if (error != http::error::end_of_stream && error != beast::error::timeout &&
                       error != asio::error::connection_reset && error != asio::error::eof &&
                       error != asio::error::operation_aborted) {
                answer = refusal(http::status::bad_request, 11, "The request is malformed.");
            }
            if (answer) {
                co_await http::async_write(stream, *answer, asio::as_tuple(asio::use_awaitable));
            }
            break;
        }
        Request request = parser.release();
        const unsigned version = request.version();
        const std::string host(text(request[http::field::host]));
        const std::string_view target = text(request.target());
        const auto path = WebSecurity::targetPath(target);
        Decision decision;
        auto cookie =
            WebSecurity::cookie(text(request[http::field::cookie]), WebSecurity::cookieName);
        auto token = WebSecurity::queryParameter(target, "token");
        if (!WebSecurity::allowedHost(host, port_)) {
            decision.response = refusal(http::status::forbidden, version,
                                        "This server answers only to its loopback address.");
        } else if (request.method() != http::verb::get) {
            decision.response =
                refusal(http::status::method_not_allowed, version, "Only GET is served here.");
            decision.response.set(http::field::allow, "GET");
        } else if (token && path == "/") {
            if (WebSecurity::sameSecret(*token, token_)) {
                decision.response =
                    makeResponse(http::status::see_other, version, "text/plain; charset=utf-8", "");
                decision.response.set(http::field::location, "/");
                decision.response.set(http::field::set_cookie,
                                      fmt::format("{}={}; HttpOnly; SameSite=Strict; Path=/",
                                                  WebSecurity::cookieName, token_));
            } else {
                decision.response =
                    refusal(http::status::unauthorized, version,
                            "The token is not this server's: open the address `orvex web` "
                            "prints.");
            }
        } else if (!cookie || !WebSecurity::sameSecret(*cookie, token_)) {
            decision.response = refusal(http::status::unauthorized, version,
                                        "Open the address `orvex web` prints.");
        } else if (websocket::is_upgrade(request)) {
            if (path != "/ws") {
                decision.response =
                    refusal(http::status::not_found, version, "The WebSocket is at /ws.");
            } else if (text(request[http::field::origin]) != "http://" + host) {
                decision.response = refusal(http::status::forbidden, version,
                                            "The page's origin is not this server's.");
            } else {
                decision.upgrade = true;
            }
        } else if (const auto* asset = findWebAsset(path)) {
            decision.response = makeResponse(http::status::ok, version, asset->contentType,
                                             std::string(asset->body));
        } else {
            decision.response = refusal(http::status::not_found, version, "No such page.");
        }

        if (decision.upgrade) {
            streams_.erase(&stream);
            forget.stream = nullptr;
            stream.expires_never();
            WebClient::Stream ws(std::move(stream));
            auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
            timeouts.handshake_timeout = limits_.requestTimeout;
            timeouts.idle_timeout = std::chrono::seconds(60);
            timeouts.keep_alive_pings = true;
            ws.set_option(timeouts);
            ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
                response.set(http::field::server, "orvex");
                // Beast answers a handshake it refuses (no key, another version) itself: that
                // answer carries the same protections as every other.
                response.set("Content-Security-Policy", WebSecurity::contentSecurityPolicy);
                response.set("X-Content-Type-Options", "nosniff");
                response.set("X-Frame-Options", "DENY");
            }));
            auto [accepted] =
                co_await ws.async_accept(request, asio::as_tuple(asio::use_awaitable));
            if (accepted || !*alive || closed_) {
                co_return;
            }
            WebClient::Limits pageLimits{
                limits_.maxMessageBytes,
                {limits_.maxQueuedBytes, limits_.behindBytes, limits_.behindTime}};
            auto page =
                std::make_shared<WebClient>(std::move(ws), pageLimits, handler_, terminals_);
            pages_.insert(page);
            std::weak_ptr<WebClient> weak = page;
            page->start([this, alive, weak] {
                if (*alive) {
                    if (auto gone = weak.lock()) {
                        pages_.erase(gone);
                    }
                }
            });
            co_return;
        }
        if (request.method() == http::verb::head) {
            // An answer to HEAD ends with its header (its length still that of the body it
            // leaves out): the client reads no body, and would take one for the next answer.
            decision.response.body().clear();
        }
        const bool keepAlive = request.keep_alive() && decision.response.keep_alive();
        decision.response.keep_alive(keepAlive);
        auto [written, size] = co_await http::async_write(stream, decision.response,
                                                          asio::as_tuple(asio::use_awaitable));
        if (written || !keepAlive || !*alive || closed_) {
            break;
        }
    }
    if (*alive && !closed_) {
        boost::system::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
    }
}

} // namespace OrvexServer
