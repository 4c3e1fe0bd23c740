#include <algorithm>
#include <cerrno>
#include <csignal>
#include <set>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "OrvexServer/ServerConnection.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Commands.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Output.hpp"
#include "orvex/RawTerminal.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"
#include "orvex/WatchFrame.hpp"

namespace Orvex {

using OrvexCore::UUID;

namespace {

/// What the server holds now, as the overview shows it. `rang` lists the terminals that rang
/// the bell while the overview ran.
WatchView viewOf(StateClient& state, const std::set<UUID>& rang) {
    WatchView view;
    for (const auto& workspace : allWorkspaces(state)) {
        WatchView::Workspace shown{workspace.displayName, abbreviatedHome(workspace.repoPath), {}};
        const auto sessions = sessionsOf(state, workspace.id);
        // Slugs padded to the longest, so the titles after them line up.
        std::size_t slugWidth = 0;
        for (const auto& session : sessions) {
            slugWidth = std::max(slugWidth, displayWidth(session.slug));
        }
        for (const auto& session : sessions) {
            WatchView::Session item;
            item.name = session.title.empty() || session.title == session.slug
                            ? session.slug
                            : session.slug +
                                  std::string(slugWidth - displayWidth(session.slug), ' ') + "  " +
                                  session.title;
            item.branch = session.branch;
            item.live = state.liveStatus(session.id);
            item.lastKnown = session.lastKnownStatus;
            item.bell = state.bellPending(session.id);
            if (item.live) {
                for (const auto& terminal : state.terminalStatuses(session.id)) {
                    item.terminals.push_back({terminal.title, terminal.status, terminal.reason,
                                              rang.contains(terminal.id)});
                }
            }
            shown.sessions.push_back(std::move(item));
        }
        view.workspaces.push_back(std::move(shown));
    }
    return view;
}

/// Signals arrive as one byte each on this pipe, so the loop sees them beside keys and events.
int signalPipe[2] = {-1, -1};

extern "C" void noteSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

/// Catches the signals that end or resize the overview for the object's life.
class SignalCatcher {
public:
    SignalCatcher() {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw CliFailure(ExitStatus::failure, "cannot make a pipe for signals");
        }
        struct sigaction action {};
        action.sa_handler = noteSignal;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < count; ++i) {
            ::sigaction(signals[i], &action, &saved_[i]);
        }
    }
    ~SignalCatcher() {
        for (int i = 0; i < count; ++i) {
            ::sigaction(signals[i], &saved_[i], nullptr);
        }
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

    static constexpr int count = 4;
    static constexpr int signals[count] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH};

private:
    struct sigaction saved_[count] {};
};

/// The alternate screen with the cursor hidden for the object's life; the screen the user had
/// comes back when it goes, also on an exception.
class AlternateScreen {
public:
    AlternateScreen() { writeAll(STDOUT_FILENO, "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J"); }
    ~AlternateScreen() { writeAll(STDOUT_FILENO, "\x1b[?25h\x1b[?1049l"); }
    AlternateScreen(const AlternateScreen&) = delete;
    AlternateScreen& operator=(const AlternateScreen&) = delete;
};

void draw(StateClient& state, const std::set<UUID>& rang, const Style& style) {
    const auto size = windowSize(STDOUT_FILENO).value_or(WindowSize{});
    auto lines = renderWatchFrame(viewOf(state, rang), style, size.cols, size.rows, true);
    std::string screen = "\x1b[H";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        screen += lines[i] + "\x1b[K";
        if (i + 1 < lines.size()) {
            screen += "\r\n";
        }
    }
    screen += "\x1b[J";
    writeAll(STDOUT_FILENO, screen);
}

/// Whether `fd` has something to read within `timeout` milliseconds.
bool readable(int fd, int timeout) {
    pollfd one{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&one, 1, timeout);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

} // namespace

void watchCommand(Runtime& rt, const WatchArgs& args) {
    auto& state = rt.state();
    const bool terminal = ::isatty(STDOUT_FILENO) && ::isatty(STDIN_FILENO);
    if (args.once) {
        // One frame for scripts: as wide as the terminal when there is one, else unbounded.
        const auto size = windowSize(STDOUT_FILENO);
        auto lines =
            renderWatchFrame(viewOf(state, {}), rt.style(), size ? size->cols : 0, 0, false);
        for (const auto& line : lines) {
            rt.out().text += line + "\n";
        }
        return;
    }
    if (!terminal) {
        throw CliFailure(ExitStatus::usage,
                         "orvex watch needs a terminal; 'orvex watch --once' prints one frame");
    }
    auto events = OrvexServer::ServerConnection::connect(state.socketPath());
    events->call("subscribe",
                 {{"events", {"stateChanged", "statusChanged", "bell", "terminalExited"}}});

    // This loop handles the signals itself: it must leave the alternate screen and the raw
    // mode before the process ends.
    rt.releaseSignals();
    SignalCatcher signals;
    RawTerminal raw(STDIN_FILENO);
    AlternateScreen screen;
    std::set<UUID> rang;
    const Style& style = rt.style();
    std::string ended;
    bool interrupted = false;
    draw(state, rang, style);
    for (;;) {
        pollfd watched[3] = {{STDIN_FILENO, POLLIN, 0},
                             {events->descriptor(), POLLIN, 0},
                             {signalPipe[0], POLLIN, 0}};
        if (::poll(watched, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        bool quit = false;
        if (watched[2].revents & POLLIN) {
            char caught[16];
            const auto n = ::read(signalPipe[0], caught, sizeof caught);
            for (ssize_t i = 0; i < n; ++i) {
                interrupted = interrupted || caught[i] != SIGWINCH;
            }
            quit = interrupted;
        }
        if (watched[0].revents & (POLLIN | POLLHUP)) {
            char keys[64];
            const auto n = ::read(STDIN_FILENO, keys, sizeof keys);
            for (ssize_t i = 0; i < n; ++i) {
                // q, Q, Ctrl-C (raw mode turns it into a byte) and Ctrl-D leave.
                quit = quit || keys[i] == 'q' || keys[i] == 'Q' || keys[i] == 3 || keys[i] == 4;
            }
            quit = quit || n <= 0;
        }
        if (quit) {
            break;
        }
        if (watched[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            try {
                // Take every event that is already there, then draw once.
                do {
                    for (const auto& event : events->readEvents()) {
                        if (event["event"] == "bell") {
                            if (auto id =
                                    UUID::parse(event["data"].value("terminalID", std::string()))) {
                                rang.insert(*id);
                            }
                        }
                    }
                } while (readable(events->descriptor(), 0));
            } catch (const OrvexServer::ServerUnavailable&) {
                ended = "the Orvex server stopped";
                break;
            }
        }
        state.invalidate();
        draw(state, rang, style);
    }
    if (!ended.empty()) {
        throw CliFailure(ExitStatus::failure, ended);
    }
    if (interrupted) {
        throw CliFailure(ExitStatus::interrupted, "interrupted");
    }
}

} // namespace Orvex
