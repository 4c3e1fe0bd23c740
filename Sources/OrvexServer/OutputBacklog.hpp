#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

namespace OrvexServer {

/// How far one client of the terminals' output (an attached client, a web page) is behind, and
/// the one rule every such client follows.
///
/// Counted are the bytes queued in the server for the client and not yet written, plus, for a
/// client that acknowledges what it has taken, the bytes written that it has not acknowledged
/// yet (`setAwaiting`). Past `behindBytes` the client is behind: `onBehind(true)`, and the
/// programs it shows should be held so they wait for it instead of having it dropped. At a
/// quarter of that or below it has caught up: `onBehind(false)`. A client that stays behind
/// for `behindTime` without catching up has stalled: `onStalled()`, once; it should be dropped,
/// so a held program waits only so long for a client that does not read. Queued bytes are
/// bounded by `maxQueuedBytes` (`fits`), so a client never makes the server grow.
///
/// Main executor only. No callback runs once the backlog is stopped or destroyed.
class OutputBacklog {
public:
    struct Limits {
        /// Bytes waiting to be written beyond which the client should be dropped.
        std::size_t maxQueuedBytes = 8u << 20;
        /// Bytes outstanding beyond which the client counts as behind.
        std::size_t behindBytes = 1u << 20;
        /// How long a client may stay behind.
        std::chrono::milliseconds behindTime{10000};
    };

    OutputBacklog(boost::asio::any_io_executor executor, Limits limits,
                  std::function<void(bool behind)> onBehind, std::function<void()> onStalled);
    ~OutputBacklog();
    OutputBacklog(const OutputBacklog&) = delete;
    OutputBacklog& operator=(const OutputBacklog&) = delete;

    /// Whether `bytes` more can be queued without passing `maxQueuedBytes`.
    bool fits(std::size_t bytes) const { return queued_ + bytes <= limits_.maxQueuedBytes; }
    /// `bytes` were queued for the client (whether or not they fit).
    void add(std::size_t bytes);
    /// `bytes` of the queue were written to the client, which now has `awaiting` bytes it has
    /// not acknowledged (both at once: the written bytes move from one count to the other).
    void written(std::size_t bytes, std::size_t awaiting = 0);
    /// The client has `bytes` written to it that it has not acknowledged yet.
    void setAwaiting(std::size_t bytes);
    /// Ends the rule (the client is gone, its queue dropped): the counts go to zero, the timer
    /// stops and no callback runs again. Returns whether the client was behind, so whoever
    /// holds programs for it can let them go.
    bool stop();

    bool behind() const { return behind_; }
    std::size_t queued() const { return queued_; }
    std::size_t awaiting() const { return awaiting_; }
    const Limits& limits() const { return limits_; }

private:
    void update();

    Limits limits_;
    std::function<void(bool)> onBehind_;
    std::function<void()> onStalled_;
    boost::asio::steady_timer timer_;
    std::size_t queued_ = 0;
    std::size_t awaiting_ = 0;
    bool behind_ = false;
    bool stopped_ = false;
    /// Which stretch of being behind the timer is for: an expiry already on its way when the
    /// client caught up belongs to an older one and is ignored.
    std::uint64_t stretch_ = 0;
    /// Held only here: a timer handler running after the backlog is gone finds it expired.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace OrvexServer
