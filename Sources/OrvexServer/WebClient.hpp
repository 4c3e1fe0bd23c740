#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <nlohmann/json.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexServer/Client.hpp"
#include "OrvexServer/OutputBacklog.hpp"
#include "OrvexServer/WebTerminals.hpp"

namespace OrvexServer {

/// One web page connected over a WebSocket (docs/web-protocol.md). Text messages are the
/// server's JSON requests, answers and events, run by the same handler as the Unix socket's;
/// the terminal methods (`terminal.subscribe`, `terminal.unsubscribe`, `terminal.resize`)
/// are answered here. Binary messages carry terminal bytes: a subscribed terminal's screen and
/// then its output to the page, keystrokes from it.
///
/// Everything the page is sent goes through one queue, under the `OutputBacklog` rule shared
/// with attached clients. The page acknowledges the terminal bytes it has drawn (an `A`
/// message with the running total since the connection opened); from its first
/// acknowledgement on, what it has been sent and not yet drawn counts as well as what waits in
/// the queue. A page behind holds the output of every terminal it watches until it catches up;
/// one that stays behind too long, or whose queue would pass its bound, is dropped (the
/// terminals keep running, and the page reconnects to their current screens). A page that never
/// acknowledges is judged by its queue alone. Main executor only.
class WebClient : public Client, public std::enable_shared_from_this<WebClient> {
public:
    using Stream = boost::beast::websocket::stream<boost::beast::tcp_stream>;
    using RequestHandler = std::function<boost::asio::awaitable<nlohmann::json>(
        std::shared_ptr<Client>, std::string method, nlohmann::json params)>;

    struct Limits {
        std::size_t maxMessageBytes;
        /// The queue's bound, and when the page counts as behind or stalled.
        OutputBacklog::Limits backlog;
        std::size_t maxInFlight = 64;
    };

    /// Binary message kinds, the first byte of each; for the first three the terminal's id
    /// (36 characters) follows, for an acknowledgement the decimal count of terminal bytes
    /// (of screen and output messages, whichever terminal they were for) the page has drawn
    /// or dropped since the connection opened.
    static constexpr char screenFrame = 'S', outputFrame = 'O', inputFrame = 'I', ackFrame = 'A';

    WebClient(Stream stream, Limits limits, RequestHandler handler, const WebTerminals& terminals);
    WebClient(const WebClient&) = delete;
    WebClient& operator=(const WebClient&) = delete;

    /// Starts reading (the handshake is done); `onClosed` runs once when the page goes.
    void start(std::function<void()> onClosed);
    /// Closes at once, dropping what is queued.
    void close();
    void sendEvent(const std::string& name, const nlohmann::json& data) override;
    /// A terminal wrote `bytes`: forwarded if this page subscribed to it.
    void terminalOutput(const OrvexCore::UUID& terminalID, std::string_view bytes);
    /// Bytes waiting to be written to the page.
    std::size_t queuedBytes() const { return backlog_.queued(); }

private:
    struct Outgoing {
        std::string data;
        bool binary;
        /// Terminal bytes in it, which the page acknowledges once drawn.
        std::size_t payload;
    };
    boost::asio::awaitable<void> readLoop();
    void handleText(const std::string& text);
    void handleBinary(std::string_view bytes);
    boost::asio::awaitable<void> runRequest(nlohmann::json id, std::string method,
                                            nlohmann::json params);
    nlohmann::json terminalMethod(const std::string& method, const nlohmann::json& params);
    void answer(const nlohmann::json& id, const char* key, nlohmann::json value);
    void enqueue(std::string data, bool binary, std::size_t payload = 0);
    void sendTerminal(char kind, const OrvexCore::UUID& terminalID, std::string_view bytes);
    boost::asio::awaitable<void> writeLoop();
    void acknowledged(std::string_view digits);
    /// Terminal bytes the page has been sent and has not said it drew.
    std::size_t awaiting() const;
    /// Holds the terminals watched while the page is behind, none otherwise.
    void holdWatched();

    Stream stream_;
    Limits limits_;
    RequestHandler handler_;
    const WebTerminals& terminals_;
    std::function<void()> onClosed_;
    std::deque<Outgoing> queue_;
    OutputBacklog backlog_;
    /// Terminal bytes written to the page since it connected.
    std::uint64_t sentPayload_ = 0;
    /// The page's running total of terminal bytes drawn, once it has said one.
    std::optional<std::uint64_t> acknowledged_;
    std::size_t inFlight_ = 0;
    std::set<OrvexCore::UUID> watched_;
    bool writing_ = false;
    bool open_ = true;
};

} // namespace OrvexServer
