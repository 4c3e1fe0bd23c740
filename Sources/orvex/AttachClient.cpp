#include "orvex/AttachClient.hpp"

#include <array>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "orvex/Output.hpp"
#include "orvex/StatusRow.hpp"

namespace Orvex {

namespace AF = OrvexServer::AttachFrame;
using OrvexServer::ScreenModel;

namespace {

/// The write end of the pipe SIGWINCH is reported through.
int resizePipe = -1;

constexpr char resizeByte = 'w';
constexpr char stopByte = 's';

void noteSignal(int number) {
    int saved = errno;
    char byte = number == SIGWINCH ? resizeByte : stopByte;
    [[maybe_unused]] auto n = ::write(resizePipe, &byte, 1);
    errno = saved;
}

/// Whether `bytes` hold a sequence that sets the scroll region (CSI top ; bottom r).
bool setsScrollRegion(std::string_view bytes) {
    for (std::size_t at = bytes.find("\x1b["); at != std::string_view::npos;
         at = bytes.find("\x1b[", at + 1)) {
        std::size_t i = at + 2;
        while (i < bytes.size() && ((bytes[i] >= '0' && bytes[i] <= '9') || bytes[i] == ';')) {
            ++i;
        }
        if (i < bytes.size() && bytes[i] == 'r') {
            return true;
        }
    }
    return false;
}

/// `text` with each line break as a carriage return and line feed, for a raw terminal.
std::string rawLines(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

} // namespace

AttachClient::AttachClient(int socket, std::string pending, int input, int output)
    : socket_(socket), input_(input), output_(output), pending_(std::move(pending)),
      window_(windowSize(output).value_or(WindowSize{})),
      screen_(std::make_unique<ScreenModel>(StatusRow::programSize(window_).rows,
                                            StatusRow::programSize(window_).cols)) {}

AttachClient::~AttachClient() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

AttachClient::Ending AttachClient::run() {
    std::array<int, 2> pipe{-1, -1};
    if (::pipe2(pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return Ending{std::nullopt, "cannot watch the window's size", false, false};
    }
    resizePipe = pipe[1];
    // The command's own interrupt handling runs only between its asynchronous steps; while
    // attached, a hang-up or termination ends the attachment here instead.
    constexpr std::array<int, 4> signals{SIGWINCH, SIGHUP, SIGTERM, SIGINT};
    std::array<struct sigaction, signals.size()> previous{};
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        ::sigaction(signals[i], &action, &previous[i]);
    }

    if (!pending_.empty()) {
        handleFrames(std::exchange(pending_, {}));
    }
    std::array<char, 65536> buffer{};
    while (!ending_) {
        std::array<pollfd, 3> fds{pollfd{socket_, POLLIN, 0}, pollfd{input_, POLLIN, 0},
                                  pollfd{pipe[0], POLLIN, 0}};
        // Once the detach is sent, only the server's farewell is awaited.
        nfds_t count = detachSent_ ? 1 : 3;
        if (::poll(fds.data(), count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (count > 2 && (fds[2].revents & POLLIN) != 0) {
            bool resized = false;
            bool stop = false;
            ssize_t n = 0;
            while ((n = ::read(pipe[0], buffer.data(), buffer.size())) > 0) {
                std::string_view got(buffer.data(), static_cast<std::size_t>(n));
                resized = resized || got.find(resizeByte) != std::string_view::npos;
                stop = stop || got.find(stopByte) != std::string_view::npos;
            }
            if (stop) {
                sendFrame(AF::encode(AF::Detach{}));
                ending_ = Ending{std::nullopt, "", false, true};
                break;
            }
            if (resized) {
                window_ = windowSize(output_).value_or(window_);
                sendSize();
            }
        }
        if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = ::read(input_, buffer.data(), buffer.size());
            if (n <= 0 && errno != EINTR && errno != EAGAIN) {
                // The user's terminal is gone: leave the programs running.
                sendFrame(AF::encode(AF::Detach{}));
                ending_ = Ending{std::nullopt, "", false, false};
                break;
            }
            if (n > 0) {
                handleKeys(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = ::read(socket_, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (!ending_) {
                    ending_ =
                        Ending{std::nullopt, "the server closed the connection", false, false};
                }
                break;
            }
            handleFrames(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
    }
    for (std::size_t i = 0; i < signals.size(); ++i) {
        ::sigaction(signals[i], &previous[i], nullptr);
    }
    resizePipe = -1;
    ::close(pipe[0]);
    ::close(pipe[1]);
    return *ending_;
}

void AttachClient::handleFrames(std::string_view bytes) {
    std::vector<AF::Frame> frames;
    bool intact = decoder_.feed(bytes, frames);
    try {
        for (const auto& frame : frames) {
            handle(AF::parseServer(frame));
            if (ending_) {
                flushDrawn();
                return;
            }
        }
    } catch (const AF::ProtocolError& failure) {
        flushDrawn();
        ending_ =
            Ending{std::nullopt, std::string("the server sent a bad frame: ") + failure.what(),
                   false, false};
        return;
    }
    flushDrawn();
    if (!intact) {
        ending_ =
            Ending{std::nullopt, "the server sent a bad frame: " + decoder_.error().value_or(""),
                   false, false};
        return;
    }
    if (statusDirty_) {
        paintStatus();
    }
}

void AttachClient::draw(std::string_view bytes) {
    if (!helpShown_) {
        drawn_ += bytes;
    }
}

void AttachClient::flushDrawn() {
    if (!drawn_.empty()) {
        writeAll(output_, drawn_);
        drawn_.clear();
    }
}

void AttachClient::handle(const AF::ServerMessage& message) {
    if (const auto* output = std::get_if<AF::Output>(&message)) {
        screen_->feed(output->bytes);
        draw(output->bytes);
        if (output->bytes.find('\x1b') != std::string::npos) {
            // The program may have erased the row or moved the scroll region over it.
            statusDirty_ = true;
            if (setsScrollRegion(output->bytes)) {
                auto region = screen_->snapshot().scrollRegion;
                draw("\x1b[" + std::to_string(region.first) + ";" + std::to_string(region.second) +
                     "r" + screen_->restoreCursor());
            }
        }
    } else if (const auto* redraw = std::get_if<AF::Redraw>(&message)) {
        screen_ = std::make_unique<ScreenModel>(redraw->rows, redraw->cols);
        screen_->feed(redraw->bytes);
        // Another client's smaller window leaves part of this one unused: cleared.
        draw("\x1b[r\x1b[0m\x1b[H\x1b[2J");
        draw(redraw->bytes);
        statusDirty_ = true;
    } else if (const auto* status = std::get_if<AF::Status>(&message)) {
        status_ = *status;
        statusDirty_ = true;
        bool anyRunning = status->terminals.empty();
        for (const auto& terminal : status->terminals) {
            anyRunning = anyRunning || terminal.state != AF::Status::State::exited;
        }
        if (!anyRunning) {
            sendFrame(AF::encode(AF::Detach{}));
            ending_ = Ending{std::nullopt, "", true, false};
        }
    } else if (const auto* detached = std::get_if<AF::Detached>(&message)) {
        ending_ = Ending{detached->reason, detached->message, false, false};
    }
}

void AttachClient::handleKeys(std::string_view bytes) {
    if (helpShown_) {
        // Any key closes the list; the terminal on screen is drawn again by the server.
        helpShown_ = false;
        std::uint16_t shown = status_ ? status_->shown : std::uint16_t{0};
        sendFrame(AF::encode(AF::SwitchTerminal{AF::SwitchTerminal::Kind::index, shown}));
        return;
    }
    bool wasPending = keys_.prefixPending();
    for (const auto& action : keys_.feed(bytes)) {
        using Kind = AttachKeys::Action::Kind;
        switch (action.kind) {
        case Kind::send:
            sendFrame(AF::encode(AF::Input{action.bytes}));
            break;
        case Kind::next:
            sendFrame(AF::encode(AF::SwitchTerminal{AF::SwitchTerminal::Kind::next, 0}));
            break;
        case Kind::previous:
            sendFrame(AF::encode(AF::SwitchTerminal{AF::SwitchTerminal::Kind::previous, 0}));
            break;
        case Kind::jump:
            sendFrame(AF::encode(AF::SwitchTerminal{AF::SwitchTerminal::Kind::index,
                                                    static_cast<std::uint16_t>(action.terminal)}));
            break;
        case Kind::detach:
            sendFrame(AF::encode(AF::Detach{}));
            detachSent_ = true;
            return;
        case Kind::help:
            showHelp();
            return;
        }
    }
    if (wasPending != keys_.prefixPending()) {
        paintStatus();
    }
}

void AttachClient::showHelp() {
    draw("\x1b[r\x1b[0m\x1b[H\x1b[2J" + rawLines(AttachKeys::help()) +
         "\r\nPress any key to go back.");
    flushDrawn();
    helpShown_ = true;
}

void AttachClient::sendFrame(const std::string& frame) {
    std::size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::send(socket_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (!ending_) {
                ending_ = Ending{std::nullopt, "the server closed the connection", false, false};
            }
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void AttachClient::sendSize() {
    auto size = StatusRow::programSize(window_);
    sendFrame(AF::encode(AF::Resize{size.rows, size.cols}));
}

void AttachClient::paintStatus() {
    statusDirty_ = false;
    if (!status_ || helpShown_) {
        return;
    }
    auto row = StatusRow::render(*status_, window_.cols, keys_.prefixPending());
    writeAll(output_, StatusRow::paint(row, window_.rows, screen_->restoreCursor()));
}

} // namespace Orvex
