#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexServer/WebClient.hpp"
#include "OrvexServer/WebTerminals.hpp"

namespace OrvexServer {

/// The web page's HTTP and WebSocket listener, on the loopback interface only (127.0.0.1 and
/// ::1, one port). Nobody but the user may reach it, since the terminals give a shell:
///
/// - a fresh 256-bit token per start, carried in the printed address (`/?token=...`) and
///   exchanged for an HttpOnly, SameSite=Strict cookie; any other request or upgrade without
///   the cookie gets 401;
/// - the Host header must name the loopback address or `localhost` with this port (403), so a
///   foreign name resolving to 127.0.0.1 (DNS rebinding) reaches nothing;
/// - a WebSocket upgrade must carry the Origin of the page itself (403);
/// - no CORS headers, a strict Content-Security-Policy on every answer;
/// - bounded header, body and message sizes (431, 413, close 1009), timeouts for slow
///   clients, and every malformed request answered with an error status (400) or a closed
///   connection while the others are served on.
///
/// Main executor only; the listener and every connection run on `executor`.
class WebServer {
public:
    struct Limits {
        std::size_t maxHeaderBytes = 16 * 1024;
        std::size_t maxBodyBytes = 16 * 1024;
        std::size_t maxMessageBytes = 4 * 1024 * 1024;
        /// Bytes waiting for one page before it is dropped.
        std::size_t maxQueuedBytes = 8 * 1024 * 1024;
        /// Bytes a page may have outstanding (queued, or sent and not yet drawn) before the
        /// terminals it watches are held for it, as for an attached client. Larger than an
        /// attached client's: a page's acknowledgements come back only once the browser has
        /// drawn, so a smaller window holds a flood's program on every round trip and leaves
        /// the page waiting, with less to draw per frame. What a page holds is bounded by it.
        std::size_t behindBytes = 4 * 1024 * 1024;
        /// How long a page may stay behind before it is dropped.
        std::chrono::milliseconds behindTime = std::chrono::seconds(10);
        std::size_t maxConnections = 64;
        /// The longest a client may take to send a request or to finish the handshake.
        std::chrono::milliseconds requestTimeout = std::chrono::seconds(20);
    };

    WebServer(boost::asio::any_io_executor executor, WebClient::RequestHandler handler,
              WebTerminals terminals, Limits limits);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    /// Listens on 127.0.0.1 and ::1 at `port` (0: a free port, the same on both). The IPv6
    /// side is best effort: a machine without ::1 is served on 127.0.0.1 alone. Throws
    /// boost::system::system_error when 127.0.0.1 cannot be bound.
    void listen(unsigned short port);
    /// Stops listening and drops every connection.
    void close();

    unsigned short port() const { return port_; }
    const std::string& token() const { return token_; }
    /// The page's address with the token, to print or open.
    std::string address() const;

    /// Sends an event to every page subscribed to it.
    void broadcast(const std::string& name, const nlohmann::json& data);
    /// A terminal's output, for the pages watching it.
    void terminalOutput(const OrvexCore::UUID& terminalID, std::string_view bytes);
    /// Open HTTP connections and pages.
    std::size_t connectionCount() const { return streams_.size() + pages_.size(); }

private:
    boost::asio::awaitable<void> acceptLoop(boost::asio::ip::tcp::acceptor& acceptor);
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);

    boost::asio::any_io_executor executor_;
    WebClient::RequestHandler handler_;
    WebTerminals terminals_;
    Limits limits_;
    std::string token_;
    unsigned short port_ = 0;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors_;
    std::set<std::shared_ptr<WebClient>> pages_;
    /// The connections still speaking HTTP, closed with the server.
    std::set<boost::beast::tcp_stream*> streams_;
    std::shared_ptr<bool> alive_;
    bool closed_ = false;
};

} // namespace OrvexServer
