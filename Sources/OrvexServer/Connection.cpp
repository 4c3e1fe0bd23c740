#include "OrvexServer/Connection.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "OrvexServer/Protocol.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
using nlohmann::json;

Connection::Connection(Socket socket, Limits limits, RequestHandler handler, AttachHandler attach)
    : socket_(std::move(socket)), limits_(limits), handler_(std::move(handler)),
      attach_(std::move(attach)) {}

void Connection::start(std::function<void()> onClosed) {
    onClosed_ = std::move(onClosed);
    // The connection owns itself through its coroutines: it lives until both loops end.
    asio::co_spawn(socket_.get_executor(), readLoop(),
                   [self = shared_from_this()](std::exception_ptr) {});
}

asio::awaitable<void> Connection::readLoop() {
    auto self = shared_from_this();
    while (open_ && !handOver_) {
        std::size_t n = 0;
        try {
            n = co_await asio::async_read_until(
                socket_, asio::dynamic_buffer(input_, limits_.maxLineBytes + 1), '\n',
                asio::use_awaitable);
        } catch (const boost::system::system_error& e) {
            if (e.code() == asio::error::not_found && open_) {
                // The line passed the limit: say so, then hang up, since the rest of the line
                // cannot be told from the next request.
                answer(nullptr, "error",
                       Protocol::protocolError("lineTooLong", "the request line is too long"));
                closeWhenWritten_ = true;
                if (!writing_) {
                    close();
                }
            } else {
                close();
            }
            co_return;
        }
        std::string line = input_.substr(0, n - 1);
        input_.erase(0, n);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        handleLine(line);
    }
}

void Connection::handleLine(const std::string& line) {
    auto request = Protocol::parseRequest(line);
    if (request.error) {
        answer(request.id, "error", std::move(*request.error));
        return;
    }
    json id = std::move(request.id);
    std::string method = std::move(request.method);
    json params = std::move(request.params);
    if (method == "attach") {
        if (!attach_) {
            answer(id, "error",
                   Protocol::protocolError("unsupported", "attaching is not available yet"));
            return;
        }
        if (!greeted()) {
            answer(id, "error",
                   Protocol::protocolError("helloRequired", "send hello before anything else"));
            return;
        }
        // Answers to earlier requests still running would arrive in the frame stream; the
        // client must wait for them before attaching.
        if (inFlight_ > 0) {
            answer(id, "error",
                   Protocol::protocolError("busy", "attach only when no request is running"));
            return;
        }
        answer(id, "result", json{{"attached", true}});
        handOver_ = std::move(params);
        maybeHandOver();
        return;
    }
    if (inFlight_ >= limits_.maxInFlight) {
        answer(id, "error", Protocol::protocolError("busy", "too many requests at once"));
        return;
    }
    ++inFlight_;
    asio::co_spawn(socket_.get_executor(), runRequest(id, std::move(method), std::move(params)),
                   [self = shared_from_this()](std::exception_ptr) {});
}

asio::awaitable<void> Connection::runRequest(json id, std::string method, json params) {
    auto self = shared_from_this();
    std::string answer = co_await Protocol::answerOf(
        std::move(id), [&] { return handler_(self, std::move(method), std::move(params)); });
    --inFlight_;
    enqueue(std::move(answer) + "\n");
}

void Connection::answer(const json& id, const char* key, json value) {
    enqueue(Protocol::answerText(id, key, std::move(value)) + "\n");
}

void Connection::sendEvent(const std::string& name, const json& data) {
    if (!open_ || handOver_ || !subscriptions().contains(name)) {
        return;
    }
    json message{{"event", name}, {"data", data}};
    enqueue(message.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
}

void Connection::enqueue(std::string line) {
    if (!open_) {
        return;
    }
    if (queuedBytes_ + line.size() > limits_.maxQueuedBytes) {
        // The client is not reading: let it go rather than hold its backlog.
        close();
        return;
    }
    queuedBytes_ += line.size();
    queue_.push_back(std::move(line));
    if (!writing_) {
        writing_ = true;
        asio::co_spawn(socket_.get_executor(), writeLoop(),
                       [self = shared_from_this()](std::exception_ptr) {});
    }
}

asio::awaitable<void> Connection::writeLoop() {
    auto self = shared_from_this();
    while (open_ && !queue_.empty()) {
        try {
            co_await asio::async_write(socket_, asio::buffer(queue_.front()), asio::use_awaitable);
        } catch (const boost::system::system_error&) {
            writing_ = false;
            close();
            co_return;
        }
        if (!open_) {
            // Closed while the write was under way; the queue is gone.
            break;
        }
        queuedBytes_ -= queue_.front().size();
        queue_.pop_front();
    }
    writing_ = false;
    if (closeWhenWritten_) {
        close();
        co_return;
    }
    maybeHandOver();
}

void Connection::maybeHandOver() {
    if (!open_ || !handOver_ || writing_ || !queue_.empty() || inFlight_ > 0) {
        return;
    }
    json params = std::move(*handOver_);
    std::string pending = std::move(input_);
    open_ = false;
    auto attach = attach_;
    attach(std::move(socket_), std::move(pending), std::move(params));
    finish();
}

void Connection::closeWhenWritten() {
    if (writing_ || !queue_.empty()) {
        closeWhenWritten_ = true;
    } else {
        close();
    }
}

void Connection::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    boost::system::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    queue_.clear();
    queuedBytes_ = 0;
    finish();
}

void Connection::finish() {
    if (onClosed_) {
        auto done = std::move(onClosed_);
        onClosed_ = nullptr;
        done();
    }
}

} // namespace OrvexServer
