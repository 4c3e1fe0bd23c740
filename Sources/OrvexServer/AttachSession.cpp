#include "OrvexServer/AttachSession.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "OrvexServer/AttachGrid.hpp"

namespace OrvexServer {

namespace {

/// How long a last `detached` frame may take to reach a client before the connection is
/// closed without it.
constexpr std::chrono::seconds farewellGrace{5};
/// At most this many frames are written together (the system's limit on buffers per write is
/// 1024).
constexpr std::size_t maxFramesPerWrite = 64;

} // namespace

std::shared_ptr<AttachSession> AttachSession::start(Socket socket, AttachGrid& grid,
                                                    std::size_t shown, Limits limits,
                                                    std::function<void(End)> onEnd) {
    std::shared_ptr<AttachSession> session(
        new AttachSession(std::move(socket), grid, shown, limits, std::move(onEnd)));
    auto count = grid.status().terminals.size();
    session->show(count == 0 ? 0 : std::min(shown, count - 1));
    session->readMore();
    return session;
}

AttachSession::AttachSession(Socket socket, AttachGrid& grid, std::size_t shown, Limits limits,
                             std::function<void(End)> onEnd)
    : socket_(std::move(socket)), grid_(&grid), onEnd_(std::move(onEnd)),
      backlog_(
          socket_.get_executor(), limits,
          [this](bool behind) {
              if (grid_) {
                  grid_->clientBehind(*this, behind);
              }
          },
          [this] { finish(End::tooSlow); }),
      closingTimer_(socket_.get_executor()), shown_(shown) {}

void AttachSession::terminalOutput(std::size_t index, std::string_view bytes) {
    if (ended_ || closingAfterWrite_ || index != shown_) {
        return;
    }
    while (!bytes.empty() && !ended_) {
        auto piece = bytes.substr(0, AttachFrame::maxPayload);
        bytes.remove_prefix(piece.size());
        send(AttachFrame::encode(AttachFrame::Output{std::string(piece)}));
    }
}

void AttachSession::statusChanged() {
    if (ended_ || closingAfterWrite_ || !grid_) {
        return;
    }
    auto status = grid_->status();
    if (!status.terminals.empty() && shown_ >= status.terminals.size()) {
        shown_ = status.terminals.size() - 1;
    }
    status.shown = static_cast<std::uint16_t>(shown_);
    send(AttachFrame::encode(status));
}

void AttachSession::terminalExited(std::size_t index, std::optional<std::int32_t> exitCode) {
    if (ended_ || closingAfterWrite_ || !grid_) {
        return;
    }
    send(AttachFrame::encode(AttachFrame::Exited{static_cast<std::uint16_t>(index), exitCode}));
    if (index != shown_) {
        statusChanged();
        return;
    }
    auto terminals = grid_->status().terminals;
    for (std::size_t step = 1; step < terminals.size(); ++step) {
        auto candidate = (index + step) % terminals.size();
        if (terminals[candidate].state != AttachFrame::Status::State::exited) {
            show(candidate);
            return;
        }
    }
    statusChanged();
}

void AttachSession::resized() {
    if (ended_ || closingAfterWrite_ || !grid_) {
        return;
    }
    send(AttachFrame::encode(grid_->redraw(shown_)));
}

void AttachSession::close(AttachFrame::Detached::Reason reason, std::string message) {
    // The caller is done with this attachment: from here on the grid is not touched and
    // nobody is told of the end.
    grid_ = nullptr;
    onEnd_ = nullptr;
    finishAfterWriting(End::closedByServer, AttachFrame::Detached{reason, std::move(message)});
}

void AttachSession::readMore() {
    socket_.async_read_some(
        boost::asio::buffer(readBuffer_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
            if (self->ended_ || self->closingAfterWrite_) {
                return;
            }
            if (error) {
                self->finish(End::disconnected);
                return;
            }
            std::vector<AttachFrame::Frame> frames;
            bool intact =
                self->decoder_.feed(std::string_view(self->readBuffer_.data(), n), frames);
            try {
                for (const auto& frame : frames) {
                    self->handle(AttachFrame::parseClient(frame));
                    if (self->ended_ || self->closingAfterWrite_) {
                        return;
                    }
                }
            } catch (const AttachFrame::ProtocolError& failure) {
                self->finishAfterWriting(
                    End::protocolError,
                    {AttachFrame::Detached::Reason::protocolError, failure.what()});
                return;
            }
            if (!intact) {
                self->finishAfterWriting(End::protocolError,
                                         {AttachFrame::Detached::Reason::protocolError,
                                          self->decoder_.error().value_or("")});
                return;
            }
            self->readMore();
        });
}

void AttachSession::handle(const AttachFrame::ClientMessage& message) {
    if (!grid_) {
        return;
    }
    if (const auto* input = std::get_if<AttachFrame::Input>(&message)) {
        grid_->input(shown_, input->bytes);
    } else if (const auto* resize = std::get_if<AttachFrame::Resize>(&message)) {
        size_ = *resize;
        grid_->clientSize(*this, size_);
    } else if (const auto* change = std::get_if<AttachFrame::SwitchTerminal>(&message)) {
        auto terminals = grid_->status().terminals;
        auto count = terminals.size();
        if (count == 0) {
            return;
        }
        using Kind = AttachFrame::SwitchTerminal::Kind;
        if (change->kind == Kind::index) {
            // A terminal that does not exist (the user typed 7 in a grid of 4) is no error.
            if (change->index < count) {
                show(change->index);
            }
            return;
        }
        // Next and previous pass over terminals that have ended, while any still runs.
        std::size_t target = shown_;
        for (std::size_t step = 1; step <= count; ++step) {
            std::size_t candidate = change->kind == Kind::next
                                        ? (shown_ + step) % count
                                        : (shown_ + count - step % count) % count;
            if (terminals[candidate].state != AttachFrame::Status::State::exited) {
                target = candidate;
                break;
            }
        }
        if (target == shown_ && count > 1 &&
            terminals[shown_].state == AttachFrame::Status::State::exited) {
            target =
                change->kind == Kind::next ? (shown_ + 1) % count : (shown_ + count - 1) % count;
        }
        show(target);
    } else if (std::holds_alternative<AttachFrame::Detach>(message)) {
        finishAfterWriting(End::detached, {AttachFrame::Detached::Reason::requested, ""});
    }
}

void AttachSession::show(std::size_t index) {
    if (!grid_) {
        return;
    }
    shown_ = index;
    grid_->seen(index);
    statusChanged();
    if (index < grid_->status().terminals.size()) {
        send(AttachFrame::encode(grid_->redraw(index)));
    }
}

void AttachSession::send(std::string frame) {
    if (ended_ || closingAfterWrite_) {
        return;
    }
    if (!backlog_.fits(frame.size())) {
        finish(End::tooSlow);
        return;
    }
    const std::size_t size = frame.size();
    queue_.push_back(std::move(frame));
    backlog_.add(size);
    writeMore();
}

void AttachSession::writeMore() {
    if (ended_ || writing_) {
        return;
    }
    if (queue_.empty()) {
        if (closingAfterWrite_) {
            finish(*closingAfterWrite_);
        }
        return;
    }
    writing_ = true;
    // Everything queued goes in one write: a program's flood is many small frames, and a
    // system call (and a wake-up of the client) per frame would cost more than the bytes.
    std::vector<boost::asio::const_buffer> buffers;
    std::size_t frames = std::min(queue_.size(), maxFramesPerWrite);
    for (std::size_t i = 0; i < frames; ++i) {
        buffers.push_back(boost::asio::buffer(queue_[i]));
    }
    boost::asio::async_write(
        socket_, buffers,
        [self = shared_from_this(), frames](const boost::system::error_code& error, std::size_t) {
            self->writing_ = false;
            if (self->ended_) {
                return;
            }
            if (error) {
                self->finish(self->closingAfterWrite_.value_or(End::disconnected));
                return;
            }
            std::size_t done = 0;
            for (std::size_t i = 0; i < frames; ++i) {
                done += self->queue_.front().size();
                self->queue_.pop_front();
            }
            self->backlog_.written(done);
            self->writeMore();
        });
}

void AttachSession::finishAfterWriting(End why, AttachFrame::Detached farewell) {
    if (ended_ || closingAfterWrite_) {
        return;
    }
    // The farewell may pass the queue's limit by its own few bytes; the queue is bounded all
    // the same, and the timer below ends the wait for a client that never reads it.
    auto frame = AttachFrame::encode(farewell);
    const std::size_t size = frame.size();
    queue_.push_back(std::move(frame));
    backlog_.add(size);
    closingAfterWrite_ = why;
    closingTimer_.expires_after(farewellGrace);
    closingTimer_.async_wait([self = shared_from_this(), why](const boost::system::error_code& e) {
        if (!e) {
            self->finish(why);
        }
    });
    writeMore();
}

void AttachSession::finish(End why) {
    if (ended_) {
        return;
    }
    ended_ = true;
    boost::system::error_code ignored;
    closingTimer_.cancel();
    const bool wasBehind = backlog_.stop();
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    queue_.clear();
    boost::asio::post(socket_.get_executor(), [self = shared_from_this(), why, wasBehind] {
        if (self->grid_) {
            if (wasBehind) {
                self->grid_->clientBehind(*self, false);
            }
            self->grid_->clientSize(*self, std::nullopt);
            self->grid_ = nullptr;
        }
        if (auto onEnd = std::move(self->onEnd_)) {
            self->onEnd_ = nullptr;
            onEnd(why);
        }
    });
}

} // namespace OrvexServer
