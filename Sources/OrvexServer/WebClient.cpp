#include "OrvexServer/WebClient.hpp"

#include <algorithm>
#include <charconv>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ProtocolError.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
namespace beast = boost::beast;
using nlohmann::json;
using OrvexCore::UUID;

namespace {
constexpr std::size_t idLength = 36;
/// The largest output message made by joining waiting output.
constexpr std::size_t maxJoinedBytes = 64 * 1024;
} // namespace

WebClient::WebClient(Stream stream, Limits limits, RequestHandler handler,
                     const WebTerminals& terminals)
    : stream_(std::move(stream)), limits_(limits), handler_(std::move(handler)),
      terminals_(terminals),
      backlog_(
          stream_.get_executor(), limits_.backlog, [this](bool) { holdWatched(); },
          [this] {
              // Kept alive through the close, which may drop the server's hold on the page.
              auto self = shared_from_this();
              close();
          }) {
    stream_.read_message_max(limits_.maxMessageBytes);
    // Each message goes as one frame: split into frames of the stream's 4 KiB write buffer, a
    // flood cost a write here and a task in the browser per 4 KiB.
    stream_.auto_fragment(false);
}

void WebClient::start(std::function<void()> onClosed) {
    onClosed_ = std::move(onClosed);
    asio::co_spawn(stream_.get_executor(), readLoop(),
                   [self = shared_from_this()](std::exception_ptr) {});
}

asio::awaitable<void> WebClient::readLoop() {
    auto self = shared_from_this();
    beast::flat_buffer buffer;
    while (open_) {
        auto [error, n] = co_await stream_.async_read(buffer, asio::as_tuple(asio::use_awaitable));
        if (error || !open_) {
            // Closed, timed out, or a message over the limit (the stream has already sent the
            // close frame saying so).
            close();
            co_return;
        }
        std::string message = beast::buffers_to_string(buffer.data());
        buffer.consume(n);
        if (stream_.got_text()) {
            handleText(message);
        } else {
            handleBinary(message);
        }
    }
}

void WebClient::handleText(const std::string& text) {
    auto request = Protocol::parseRequest(text);
    if (request.error) {
        answer(request.id, "error", std::move(*request.error));
        return;
    }
    if ((request.method == "terminal.subscribe" || request.method == "terminal.unsubscribe" ||
         request.method == "terminal.resize")) {
        std::optional<UUID> subscribed;
        try {
            if (!greeted()) {
                throw ProtocolError("helloRequired", "send hello before anything else");
            }
            answer(request.id, "result", terminalMethod(request.method, request.params));
            if (request.method == "terminal.subscribe") {
                subscribed = Protocol::uuid(request.params, "id");
            }
        } catch (...) {
            answer(request.id, "error", Protocol::errorObject(std::current_exception()));
        }
        if (backlog_.behind()) {
            holdWatched();
        }
        if (subscribed && open_) {
            // After the answer, so the page knows the terminal before its screen arrives; live
            // output follows the screen in the one queue.
            sendTerminal(screenFrame, *subscribed, terminals_.screen(*subscribed).value_or(""));
        }
        return;
    }
    if (inFlight_ >= limits_.maxInFlight) {
        answer(request.id, "error", Protocol::protocolError("busy", "too many requests at once"));
        return;
    }
    ++inFlight_;
    asio::co_spawn(
        stream_.get_executor(),
        runRequest(std::move(request.id), std::move(request.method), std::move(request.params)),
        [self = shared_from_this()](std::exception_ptr) {});
}

json WebClient::terminalMethod(const std::string& method, const json& params) {
    UUID id = Protocol::uuid(params, "id");
    if (method == "terminal.unsubscribe") {
        watched_.erase(id);
        return json::object();
    }
    if (method == "terminal.subscribe") {
        if (!terminals_.screen(id)) {
            throw ProtocolError("notFound", "no terminal has that identifier");
        }
        watched_.insert(id);
        return json::object();
    }
    long long rows = Protocol::integer(params, "rows");
    long long cols = Protocol::integer(params, "cols");
    // Past these a pseudo-terminal's size fields or a screen model would be abused.
    if (rows < 1 || rows > 1000 || cols < 1 || cols > 1000) {
        throw ProtocolError("invalidParams", "params.rows and params.cols must be 1 to 1000");
    }
    if (!terminals_.resize(id, static_cast<int>(rows), static_cast<int>(cols))) {
        throw ProtocolError("notFound", "no terminal has that identifier");
    }
    return json::object();
}

void WebClient::handleBinary(std::string_view bytes) {
    if (!bytes.empty() && bytes[0] == ackFrame) {
        acknowledged(bytes.substr(1));
        return;
    }
    // Keystrokes for a terminal that is gone are dropped, as a closed terminal's would be.
    if (bytes.size() < 1 + idLength || bytes[0] != inputFrame) {
        return;
    }
    if (auto id = UUID::parse(std::string(bytes.substr(1, idLength)))) {
        terminals_.input(*id, bytes.substr(1 + idLength));
    }
}

asio::awaitable<void> WebClient::runRequest(json id, std::string method, json params) {
    auto self = shared_from_this();
    std::string answer = co_await Protocol::answerOf(
        std::move(id), [&] { return handler_(self, std::move(method), std::move(params)); });
    --inFlight_;
    enqueue(std::move(answer), false);
}

void WebClient::answer(const json& id, const char* key, json value) {
    enqueue(Protocol::answerText(id, key, std::move(value)), false);
}

void WebClient::sendEvent(const std::string& name, const json& data) {
    if (!open_ || !subscriptions().contains(name)) {
        return;
    }
    json message{{"event", name}, {"data", data}};
    enqueue(message.dump(-1, ' ', false, json::error_handler_t::replace), false);
}

void WebClient::terminalOutput(const UUID& terminalID, std::string_view bytes) {
    if (open_ && watched_.contains(terminalID)) {
        sendTerminal(outputFrame, terminalID, bytes);
    }
}

void WebClient::sendTerminal(char kind, const UUID& terminalID, std::string_view bytes) {
    // Output behind more output of the same terminal that is still waiting joins it: a flood
    // reaches the page in fewer, larger messages, each costing the page an event and a write.
    // (The first message may be being written, so it is never changed.)
    if (kind == outputFrame && open_ && queue_.size() > (writing_ ? 1u : 0u)) {
        auto& waiting = queue_.back();
        if (waiting.binary && waiting.data.front() == outputFrame &&
            waiting.data.compare(1, idLength, terminalID.string()) == 0 &&
            waiting.data.size() + bytes.size() <= maxJoinedBytes && backlog_.fits(bytes.size())) {
            waiting.data += bytes;
            waiting.payload += bytes.size();
            backlog_.add(bytes.size());
            return;
        }
    }
    std::string frame;
    frame.reserve(1 + idLength + bytes.size());
    frame.push_back(kind);
    frame += terminalID.string();
    frame += bytes;
    enqueue(std::move(frame), true, bytes.size());
}

void WebClient::acknowledged(std::string_view digits) {
    std::uint64_t total = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), total);
    // A malformed count, or one going back, says nothing about the page: it is ignored.
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        (acknowledged_ && total < *acknowledged_)) {
        return;
    }
    // A page cannot have drawn more than it was sent.
    acknowledged_ = std::min(total, sentPayload_);
    backlog_.setAwaiting(awaiting());
}

std::size_t WebClient::awaiting() const {
    return acknowledged_ ? static_cast<std::size_t>(sentPayload_ - *acknowledged_) : 0;
}

void WebClient::holdWatched() {
    if (terminals_.hold) {
        terminals_.hold(this, backlog_.behind() ? watched_ : std::set<UUID>{});
    }
}

void WebClient::enqueue(std::string data, bool binary, std::size_t payload) {
    if (!open_) {
        return;
    }
    if (!backlog_.fits(data.size())) {
        // Only a page that never acknowledges, or a flood of answers, gets here: let it go
        // rather than hold its backlog; it reconnects to the current screens.
        close();
        return;
    }
    const std::size_t size = data.size();
    queue_.push_back({std::move(data), binary, payload});
    backlog_.add(size);
    if (!writing_) {
        writing_ = true;
        asio::co_spawn(stream_.get_executor(), writeLoop(),
                       [self = shared_from_this()](std::exception_ptr) {});
    }
}

asio::awaitable<void> WebClient::writeLoop() {
    auto self = shared_from_this();
    while (open_ && !queue_.empty()) {
        stream_.binary(queue_.front().binary);
        auto [error, n] = co_await stream_.async_write(asio::buffer(queue_.front().data),
                                                       asio::as_tuple(asio::use_awaitable));
        if (error) {
            writing_ = false;
            close();
            co_return;
        }
        if (!open_) {
            break;
        }
        const std::size_t size = queue_.front().data.size();
        sentPayload_ += queue_.front().payload;
        queue_.pop_front();
        backlog_.written(size, awaiting());
    }
    writing_ = false;
}

void WebClient::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    if (backlog_.stop() && terminals_.hold) {
        terminals_.hold(this, {});
    }
    queue_.clear();
    watched_.clear();
    boost::system::error_code ignored;
    auto& socket = beast::get_lowest_layer(stream_).socket();
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    if (onClosed_) {
        auto done = std::move(onClosed_);
        onClosed_ = nullptr;
        done();
    }
}

} // namespace OrvexServer
