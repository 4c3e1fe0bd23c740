#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <nlohmann/json.hpp>

#include "OrvexServer/Client.hpp"

namespace OrvexServer {

/// One client of the server, speaking JSON lines (docs/protocol.md). The connection reads
/// requests, checks their envelope, hands each to the request handler (requests run side by
/// side; each answer carries its request's id) and writes answers and the events the client
/// subscribed to through a bounded queue: a client that stops reading is dropped once its
/// queue passes the limit, so it can neither block the server nor make it grow.
///
/// A request whose method is "attach" ends line reading: once every earlier answer is written,
/// the socket and any bytes read past that line are handed to the attach handler, which then
/// owns the connection. Main executor only.
class Connection : public Client, public std::enable_shared_from_this<Connection> {
public:
    using Socket = boost::asio::local::stream_protocol::socket;
    /// Runs one request (`method`, `params`) and returns its result or throws; an error becomes
    /// the error answer (Protocol::errorObject).
    using RequestHandler = std::function<boost::asio::awaitable<nlohmann::json>(
        std::shared_ptr<Connection>, std::string method, nlohmann::json params)>;
    /// Takes over the socket after an accepted "attach" request; `pending` holds bytes the
    /// client sent after the request line.
    using AttachHandler =
        std::function<void(Socket socket, std::string pending, nlohmann::json params)>;

    struct Limits {
        std::size_t maxLineBytes;
        /// Bytes of answers and events waiting to be written before the client is dropped.
        std::size_t maxQueuedBytes = 16 * 1024 * 1024;
        /// Requests of one client running at once; more are answered "busy".
        std::size_t maxInFlight = 64;
    };

    Connection(Socket socket, Limits limits, RequestHandler handler, AttachHandler attach);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Starts reading; `onClosed` runs once when the connection closes or is handed over.
    void start(std::function<void()> onClosed);
    /// Closes at once, dropping what is queued.
    void close();
    /// Closes once the queued answers are written (at once when none are).
    void closeWhenWritten();
    void sendEvent(const std::string& name, const nlohmann::json& data) override;
    bool isOpen() const { return open_; }

private:
    boost::asio::awaitable<void> readLoop();
    void handleLine(const std::string& line);
    boost::asio::awaitable<void> runRequest(nlohmann::json id, std::string method,
                                            nlohmann::json params);
    void answer(const nlohmann::json& id, const char* key, nlohmann::json value);
    void enqueue(std::string line);
    boost::asio::awaitable<void> writeLoop();
    void maybeHandOver();
    void finish();

    Socket socket_;
    Limits limits_;
    RequestHandler handler_;
    AttachHandler attach_;
    std::function<void()> onClosed_;
    std::string input_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t inFlight_ = 0;
    bool writing_ = false;
    bool open_ = true;
    bool closeWhenWritten_ = false;
    /// The accepted attach request, waiting for earlier answers to be written.
    std::optional<nlohmann::json> handOver_;
};

} // namespace OrvexServer
