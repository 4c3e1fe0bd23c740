#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "OrvexCore/Status/StatusMonitor.hpp"
#include "OrvexCore/Terminal/TerminalController.hpp"
#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexPty/PtyTerminalEngine.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/RawTerminal.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::SessionStatus;
using OrvexCore::StatusMonitor;
using OrvexCore::TerminalActivity;
using OrvexCore::TerminalController;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;

namespace {

constexpr unsigned char nextKey = 0x1d;   // Ctrl-]
constexpr unsigned char detachKey = 0x1c; // Ctrl-backslash

StatusMonitor::Config monitorConfig() {
    return StatusMonitor::Config{
        .quietThreshold = 2.0,
        .maxTailBytes = 4096,
        .needsInputPatterns = {"(y/n)", "[y/n]", "(yes/no)", "press enter", "do you want to",
                               "waiting for input", "approve"},
    };
}

std::string_view activityName(TerminalActivity activity) {
    switch (activity) {
    case TerminalActivity::working:
        return "working";
    case TerminalActivity::idle:
        return "idle";
    case TerminalActivity::needsInput:
        return "needs input";
    }
    return "idle";
}

/// One attachment of the user's terminal to a session's grid: the terminals' output feeds the
/// status monitor and, for the terminal being shown, the user's screen; the user's keys go to
/// the terminal being shown, except the two keys of its own. Main executor only.
class Attachment {
public:
    Attachment(Runtime& rt, Session session)
        : rt_(rt), session_(std::move(session)), monitor_(monitorConfig()),
          input_(rt.io(), ::dup(STDIN_FILENO)), resizes_(rt.io(), SIGWINCH), poll_(rt.io()) {
        auto size = windowSize(STDIN_FILENO).value_or(WindowSize{});
        OrvexPty::PtyTerminalEngine::Options options;
        options.rows = size.rows;
        options.columns = size.cols;
        options.onOutput = [this](const UUID& id, std::string_view bytes) {
            monitor_.ingest(id, bytes, StatusMonitor::Clock::now());
            if (id == shown_ && !detached_) {
                writeAll(STDOUT_FILENO, bytes);
            }
        };
        auto engine = std::make_unique<OrvexPty::PtyTerminalEngine>(rt.io().get_executor(),
                                                                    std::move(options));
        engine_ = engine.get();
        controller_ =
            std::make_shared<TerminalController>(rt.io().get_executor(), std::move(engine));
        monitor_.onBell = [this](const UUID& terminal) {
            // The bell of the terminal on screen reaches the user's terminal directly.
            if (terminal != shown_) {
                bells_ = true;
            }
        };
    }

    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

    /// Opens the grid and runs until the user detaches or every terminal has ended.
    boost::asio::awaitable<void> run() {
        auto watch = controller_->terminals().observe(
            [this](const std::vector<TerminalRef>&) { adoptNewTerminals(); });
        controller_->onTerminalExit = [this](const TerminalRef& ref, std::optional<std::int32_t>) {
            onExit(ref.id);
        };
        controller_->setActiveSession(session_.id);
        auto outcome = controller_->openOrFocusGrid(session_);
        adoptNewTerminals();
        shown_ = outcome.terminal.id;
        resizeAll();
        redraw();

        watchResizes();
        pollStatuses();
        try {
            std::array<char, 4096> buffer{};
            while (!detached_) {
                std::size_t n = co_await input_.async_read_some(boost::asio::buffer(buffer),
                                                                boost::asio::use_awaitable);
                handleKeys(std::string_view(buffer.data(), n));
            }
        } catch (const boost::system::system_error&) {
            // Input closed or the read was cancelled because everything ended.
        }
        watch.disconnect();
        finish();
    }

    /// Ends everything: statuses saved into the state, the grid's layout and titles remembered,
    /// every terminal closed. Safe to call twice.
    void finish() {
        if (finished_) {
            return;
        }
        finished_ = true;
        detached_ = true;
        boost::system::error_code ignored;
        resizes_.cancel(ignored);
        poll_.cancel();
        input_.cancel(ignored);
        recordStatus();
        auto& state = rt_.state();
        auto layout = controller_->layout(session_.id);
        if (!layout.empty()) {
            state.saveGridLayout(layout, session_.id);
            state.saveGridTitles(controller_->orderedTitles(session_.id), session_.id);
        }
        controller_->onTerminalExit = nullptr;
        for (const auto& ref : controller_->terminals(session_.id)) {
            monitor_.noteClosed(ref.id);
        }
        controller_->closeAll(session_.id);
        controller_->closeAllTerminals();
    }

    /// How many of the terminals' processes have not ended and been reaped yet.
    std::size_t liveProcesses() const { return engine_->liveProcessCount(); }

private:
    std::vector<TerminalRef> ordered() {
        std::vector<TerminalRef> refs;
        const auto& all = controller_->terminals(session_.id);
        for (const auto& row : controller_->layout(session_.id)) {
            for (const auto& id : row) {
                for (const auto& ref : all) {
                    if (ref.id == id) {
                        refs.push_back(ref);
                    }
                }
            }
        }
        return refs;
    }

    /// Gives terminals the grid opened since the last look the current window size.
    void adoptNewTerminals() {
        for (const auto& ref : controller_->terminals(session_.id)) {
            if (adopted_.insert(ref.id).second) {
                resize(ref, windowSize(STDIN_FILENO).value_or(WindowSize{}));
            }
        }
    }

    void onExit(const UUID& id) {
        auto live = ordered();
        bool anyRunning =
            std::any_of(live.begin(), live.end(), [](const TerminalRef& r) { return !r.isExited; });
        if (!anyRunning && !controller_->isOpeningGrid(session_.id)) {
            detached_ = true;
            boost::system::error_code ignored;
            input_.cancel(ignored);
            return;
        }
        if (id == shown_) {
            showNext();
        }
    }

    void handleKeys(std::string_view bytes) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            auto byte = static_cast<unsigned char>(bytes[i]);
            if (byte != nextKey && byte != detachKey) {
                continue;
            }
            forward(bytes.substr(start, i - start));
            start = i + 1;
            if (byte == detachKey) {
                detached_ = true;
                return;
            }
            showNext();
        }
        forward(bytes.substr(start));
    }

    void forward(std::string_view bytes) {
        if (bytes.empty()) {
            return;
        }
        for (const auto& ref : controller_->terminals(session_.id)) {
            if (ref.id == shown_ && !ref.isExited) {
                ref.handle->send(bytes);
            }
        }
    }

    void showNext() {
        auto refs = ordered();
        if (refs.empty()) {
            return;
        }
        std::size_t at = 0;
        for (std::size_t i = 0; i < refs.size(); ++i) {
            if (refs[i].id == shown_) {
                at = i;
            }
        }
        for (std::size_t step = 1; step <= refs.size(); ++step) {
            const auto& candidate = refs[(at + step) % refs.size()];
            if (!candidate.isExited) {
                shown_ = candidate.id;
                break;
            }
        }
        redraw();
    }

    /// Clears the screen, shows every terminal's title and status, and asks the program on
    /// screen to draw itself again by changing its size and changing it back.
    void redraw() {
        auto refs = ordered();
        auto now = StatusMonitor::Clock::now();
        std::string line = fmt::format("orvex: {} |", session_.slug);
        std::size_t index = 0;
        for (std::size_t i = 0; i < refs.size(); ++i) {
            const auto& ref = refs[i];
            bool here = ref.id == shown_;
            index = here ? i + 1 : index;
            std::string state =
                ref.isExited ? "exited" : std::string(activityName(monitor_.status(ref.id, now)));
            line += fmt::format(" {}{} {}: {}{}", here ? "[" : "", i + 1, ref.title, state,
                                here ? "]" : "");
        }
        line += " | Ctrl-] next, Ctrl-\\ detach";
        std::string screen = "\x1b[H\x1b[2J\x1b[7m" + line + "\x1b[0m\r\n";
        writeAll(STDOUT_FILENO, screen);
        for (const auto& ref : refs) {
            if (ref.id == shown_ && !ref.isExited) {
                auto size = windowSize(STDIN_FILENO).value_or(WindowSize{});
                nudge(ref, size);
            }
        }
    }

    /// Sets the size of the terminal's pseudo-terminal, which signals its program. The engine
    /// offers no resize of its own, so the size is set through the shell's controlling
    /// terminal, reached by its process id.
    static void resize(const TerminalRef& ref, WindowSize size) {
        auto pid = ref.handle->processID();
        if (ref.isExited || !pid) {
            return;
        }
        std::string path = fmt::format("/proc/{}/fd/0", *pid);
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (isatty(fd) == 1) {
            winsize value{};
            value.ws_row = size.rows;
            value.ws_col = size.cols;
            ioctl(fd, TIOCSWINSZ, &value);
        }
        ::close(fd);
    }

    static void nudge(const TerminalRef& ref, WindowSize size) {
        resize(ref, WindowSize{static_cast<unsigned short>(std::max(1, size.rows - 1)), size.cols});
        resize(ref, size);
    }

    void resizeAll() {
        auto size = windowSize(STDIN_FILENO).value_or(WindowSize{});
        for (const auto& ref : controller_->terminals(session_.id)) {
            resize(ref, size);
        }
    }

    void watchResizes() {
        resizes_.async_wait([this](const boost::system::error_code& error, int) {
            if (error || detached_) {
                return;
            }
            resizeAll();
            watchResizes();
        });
    }

    void pollStatuses() {
        poll_.expires_after(std::chrono::seconds(1));
        poll_.async_wait([this](const boost::system::error_code& error) {
            if (error || detached_) {
                return;
            }
            recordStatus();
            pollStatuses();
        });
    }

    /// The session's status from its terminals, written into the state as the front end does;
    /// a bell rung out of sight wins, so the saved status says the session wants attention.
    void recordStatus() {
        std::vector<TerminalActivity> activities;
        auto now = StatusMonitor::Clock::now();
        for (const auto& ref : controller_->terminals(session_.id)) {
            if (!ref.isExited) {
                activities.push_back(monitor_.status(ref.id, now));
            }
        }
        SessionStatus status = StatusMonitor::aggregate(activities);
        if (bells_) {
            status = SessionStatus::bell;
        }
        // The server saves each report: only changes are sent.
        if (status != reported_) {
            rt_.state().recordStatus(session_.id, status, bells_);
            reported_ = status;
        }
    }

    Runtime& rt_;
    Session session_;
    StatusMonitor monitor_;
    OrvexPty::PtyTerminalEngine* engine_ = nullptr; // owned by the controller
    std::shared_ptr<TerminalController> controller_;
    boost::asio::posix::stream_descriptor input_;
    boost::asio::signal_set resizes_;
    boost::asio::steady_timer poll_;
    std::set<UUID> adopted_;
    UUID shown_;
    bool bells_ = false;
    std::optional<SessionStatus> reported_;
    bool detached_ = false;
    bool finished_ = false;
};

/// Puts the descriptor flags of standard input back when the attachment ends (the reader makes
/// it non-blocking, which the shell that started orvex must not inherit).
class InputFlags {
public:
    InputFlags() : flags_(fcntl(STDIN_FILENO, F_GETFL)) {}
    ~InputFlags() {
        if (flags_ != -1) {
            fcntl(STDIN_FILENO, F_SETFL, flags_);
        }
    }

private:
    int flags_;
};

/// Waits until every process of the grid has ended and been reaped: a hung-up shell ends at
/// once, one that ignores the hang-up is killed by the engine after its grace period.
boost::asio::awaitable<void> reaped(Runtime& rt, Attachment& attachment) {
    boost::asio::steady_timer timer(rt.io());
    while (attachment.liveProcesses() > 0) {
        timer.expires_after(std::chrono::milliseconds(20));
        co_await timer.async_wait(boost::asio::use_awaitable);
    }
}

} // namespace

void runCommand(Runtime& rt, const RunArgs& args) {
    Session session = findSession(rt, args.session);
    workspaceOf(rt, session);
    std::error_code ec;
    if (!std::filesystem::is_directory(session.worktreePath, ec)) {
        throw CliFailure(ExitStatus::notFound,
                         fmt::format("the folder of session {} is missing: {}", session.slug,
                                     session.worktreePath));
    }
    if (isatty(STDOUT_FILENO) != 1) {
        throw CliFailure(ExitStatus::usage, "orvex run needs a terminal on standard output");
    }
    auto& state = rt.state();
    state.focusSession(session.id);

    InputFlags flags;
    RawTerminal raw(STDIN_FILENO);
    Attachment attachment(rt, session);
    rt.setInterruptHook([&]() -> boost::asio::awaitable<void> {
        attachment.finish();
        raw.restore();
        co_await reaped(rt, attachment);
    });
    try {
        rt.run(attachment.run());
    } catch (...) {
        attachment.finish();
        throw;
    }
    if (rt.interrupted()) {
        rt.finish();
    }
    rt.setInterruptHook(nullptr);
    raw.restore();
    rt.run(reaped(rt, attachment));
    writeAll(STDOUT_FILENO,
             fmt::format("\n[detached from {}; every terminal was closed]\n", session.slug));
}

} // namespace Orvex
