#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include "OrvexServer/AttachFrame.hpp"
#include "OrvexServer/OutputBacklog.hpp"

namespace OrvexServer {

class AttachGrid;

/// One client attached to one grid, after its `attach` request succeeded: reads its frames
/// (input, resize, switch, detach) from the socket and writes the frames of the terminal it
/// shows (status, redraw, output, exited, detached).
///
/// Writes go through a bounded queue that follows the `OutputBacklog` rule: a client with more
/// than `Limits::behindBytes` unsent tells the grid it is behind (the grid then holds the
/// program it shows) until its queue is down to a quarter of that; one that stays behind for
/// `Limits::behindTime`, or whose unsent frames would pass `Limits::maxQueuedBytes`, is dropped
/// (its connection closed, the programs untouched), so a client that stops reading never
/// blocks the server or makes it grow. A protocol error from the client ends the attachment
/// the same way, after a `detached` frame saying so.
///
/// Main executor only (the socket's executor). The grid must outlive the session or call
/// `close()` before it goes; after the session has ended it never touches the grid again.
class AttachSession : public std::enable_shared_from_this<AttachSession> {
public:
    using Socket = boost::asio::local::stream_protocol::socket;

    using Limits = OutputBacklog::Limits;

    /// Why an attachment ended.
    enum class End { detached, disconnected, protocolError, tooSlow, closedByServer };

    /// Starts serving `socket` for `grid`, showing the terminal at `shown` (clamped to the
    /// grid): sends the status and the redraw at once. `onEnd` is called once when the
    /// attachment ends, however it ends (not when `close()` is called).
    static std::shared_ptr<AttachSession> start(Socket socket, AttachGrid& grid, std::size_t shown,
                                                Limits limits, std::function<void(End)> onEnd);

    AttachSession(const AttachSession&) = delete;
    AttachSession& operator=(const AttachSession&) = delete;

    /// The terminal at `index` wrote `bytes`: forwarded when it is the one on screen.
    void terminalOutput(std::size_t index, std::string_view bytes);
    /// A title, state or bell changed: a fresh status frame.
    void statusChanged();
    /// The terminal at `index` ended. The client is told; when it was on screen, the next
    /// terminal that still runs is shown instead.
    void terminalExited(std::size_t index, std::optional<std::int32_t> exitCode);
    /// The programs' size changed: the terminal on screen is redrawn.
    void resized();
    /// Ends the attachment with a `detached` frame giving `reason` (for example the grid was
    /// closed or the server stops); the frame is written before the socket closes when the
    /// client reads it. The grid is not touched again.
    void close(AttachFrame::Detached::Reason reason, std::string message = {});

    /// The terminal on screen.
    std::size_t shown() const { return shown_; }
    /// The size this client asked for, if it did.
    const std::optional<AttachFrame::Resize>& requestedSize() const { return size_; }
    /// Bytes queued for the client and not yet written.
    std::size_t queuedBytes() const { return backlog_.queued(); }
    bool ended() const { return ended_; }

private:
    AttachSession(Socket socket, AttachGrid& grid, std::size_t shown, Limits limits,
                  std::function<void(End)> onEnd);

    void readMore();
    void handle(const AttachFrame::ClientMessage& message);
    void show(std::size_t index);
    void send(std::string frame);
    void writeMore();
    /// Ends at once: nothing more is read, queued frames are dropped, the socket closes. The
    /// grid and `onEnd` hear of it in a later turn of the executor, so a grid that is calling
    /// into this session is never re-entered.
    void finish(End why);
    /// Ends after the queued frames (and a last `detached` frame) have been written.
    void finishAfterWriting(End why, AttachFrame::Detached farewell);

    Socket socket_;
    AttachGrid* grid_;
    std::function<void(End)> onEnd_;
    AttachFrame::Decoder decoder_{AttachFrame::Direction::fromClient};
    std::array<char, 16384> readBuffer_{};
    std::deque<std::string> queue_;
    OutputBacklog backlog_;
    bool writing_ = false;
    std::optional<End> closingAfterWrite_;
    /// Bounds the wait for a last frame to a client that no longer reads.
    boost::asio::steady_timer closingTimer_;
    std::size_t shown_ = 0;
    std::optional<AttachFrame::Resize> size_;
    bool ended_ = false;
};

} // namespace OrvexServer
