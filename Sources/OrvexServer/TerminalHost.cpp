#include "OrvexServer/TerminalHost.hpp"

#include <algorithm>

#include <boost/asio/use_awaitable.hpp>

#include "OrvexPty/PtyTerminalEngine.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
using OrvexCore::SessionStatus;
using OrvexCore::StatusMonitor;
using OrvexCore::TerminalActivity;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;

/// A session's last reported status and the timer that notices its output going quiet.
struct TerminalHost::SessionWatch {
    explicit SessionWatch(asio::any_io_executor executor) : quiet(executor) {}
    std::optional<SessionStatus> reported;
    StatusMonitor::Date lastOutput{};
    asio::steady_timer quiet;
    bool armed = false;
};

StatusMonitor::Config TerminalHost::monitorConfig() {
    return StatusMonitor::Config{
        .quietThreshold = 2.0,
        .maxTailBytes = 4096,
        .needsInputPatterns = {"(y/n)", "[y/n]", "(yes/no)", "press enter", "do you want to",
                               "waiting for input", "approve"},
    };
}

TerminalHost::TerminalHost(asio::any_io_executor executor, StatusMonitor::Config config)
    : executor_(executor), config_(std::move(config)), alive_(std::make_shared<bool>(true)) {
    OrvexPty::PtyTerminalEngine::Options options;
    options.onOutput = [this](const UUID& id, std::string_view bytes) { ingest(id, bytes); };
    auto engine = std::make_unique<OrvexPty::PtyTerminalEngine>(executor, std::move(options));
    engine_ = engine.get();
    controller_ = std::make_shared<OrvexCore::TerminalController>(executor, std::move(engine));
    controller_->onTerminalExit = [this](const TerminalRef& ref, std::optional<std::int32_t> code) {
        if (onExit) {
            onExit(ref.sessionID, ref.id, code);
        }
        evaluate(ref.sessionID);
    };
}

TerminalHost::~TerminalHost() {
    *alive_ = false;
    controller_->onTerminalExit = nullptr;
}

void TerminalHost::addOutputHook(Stage stage, OutputHook hook) {
    hooks_[stage].push_back(std::move(hook));
}

std::optional<UUID> TerminalHost::sessionOf(const UUID& terminalID) {
    for (const auto& ref : controller_->terminals().get()) {
        if (ref.id == terminalID) {
            return ref.sessionID;
        }
    }
    return std::nullopt;
}

void TerminalHost::ingest(const UUID& terminalID, std::string_view bytes) {
    auto session = sessionOf(terminalID);
    auto& monitor = monitors_[terminalID];
    if (!monitor) {
        monitor = std::make_unique<StatusMonitor>(config_);
        monitor->onBell = [this, session](const UUID& terminal) {
            if (session && onBell) {
                onBell(*session, terminal);
            }
        };
    }
    auto now = StatusMonitor::Clock::now();
    monitor->ingest(terminalID, bytes, now);
    for (auto stage : {Stage::activity, Stage::screen, Stage::clients}) {
        for (auto& hook : hooks_[stage]) {
            hook(terminalID, bytes);
        }
    }
    if (session) {
        auto& watch = watches_[*session];
        if (!watch) {
            watch = std::make_unique<SessionWatch>(executor_);
        }
        watch->lastOutput = now;
        evaluate(*session);
        armQuietTimer(*session);
    }
}

void TerminalHost::armQuietTimer(const UUID& sessionID) {
    auto& watch = watches_[sessionID];
    if (!watch || watch->armed) {
        return;
    }
    watch->armed = true;
    auto due = watch->lastOutput +
               std::chrono::duration_cast<StatusMonitor::Clock::duration>(
                   std::chrono::duration<double>(config_.quietThreshold)) +
               std::chrono::milliseconds(20);
    auto wait = due - StatusMonitor::Clock::now();
    watch->quiet.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::max(wait, StatusMonitor::Clock::duration::zero())));
    watch->quiet.async_wait([this, alive = alive_, sessionID](boost::system::error_code error) {
        if (error || !*alive) {
            return;
        }
        auto it = watches_.find(sessionID);
        if (it == watches_.end()) {
            return;
        }
        it->second->armed = false;
        evaluate(sessionID);
        // Output that came while the timer ran moved the quiet point: wait for it again.
        auto quietFor = StatusMonitor::Clock::now() - it->second->lastOutput;
        if (quietFor < std::chrono::duration<double>(config_.quietThreshold)) {
            armQuietTimer(sessionID);
        }
    });
}

SessionStatus TerminalHost::status(const UUID& sessionID) {
    std::vector<TerminalActivity> activities;
    auto now = StatusMonitor::Clock::now();
    for (const auto& ref : controller_->terminals(sessionID)) {
        if (ref.isExited) {
            continue;
        }
        auto it = monitors_.find(ref.id);
        activities.push_back(it == monitors_.end() ? TerminalActivity::idle
                                                   : it->second->status(ref.id, now));
    }
    return StatusMonitor::aggregate(activities);
}

TerminalActivity TerminalHost::activity(const UUID& terminalID) {
    auto it = monitors_.find(terminalID);
    return it == monitors_.end() ? TerminalActivity::idle
                                 : it->second->status(terminalID, StatusMonitor::Clock::now());
}

void TerminalHost::evaluate(const UUID& sessionID) {
    auto& watch = watches_[sessionID];
    if (!watch) {
        watch = std::make_unique<SessionWatch>(executor_);
    }
    SessionStatus now = status(sessionID);
    if (watch->reported != now) {
        watch->reported = now;
        if (onStatus) {
            onStatus(sessionID, now);
        }
    }
}

void TerminalHost::openGrid(const OrvexCore::Session& session) {
    bool had = hasGrid(session.id);
    controller_->openOrFocusGrid(session);
    if (!had) {
        evaluate(session.id);
    }
}

bool TerminalHost::hasGrid(const UUID& sessionID) {
    return !controller_->terminals(sessionID).empty();
}

std::vector<UUID> TerminalHost::openSessions() const {
    std::vector<UUID> sessions;
    for (const auto& ref : controller_->terminals().get()) {
        if (std::find(sessions.begin(), sessions.end(), ref.sessionID) == sessions.end()) {
            sessions.push_back(ref.sessionID);
        }
    }
    return sessions;
}

void TerminalHost::closeGrid(const UUID& sessionID) {
    for (const auto& ref : controller_->terminals(sessionID)) {
        monitors_.erase(ref.id);
    }
    controller_->closeAll(sessionID);
    watches_.erase(sessionID);
}

void TerminalHost::closeAll() {
    for (const auto& session : openSessions()) {
        closeGrid(session);
    }
    controller_->closeAllTerminals();
}

asio::awaitable<void> TerminalHost::reaped() {
    // Only while stopping: the engine reaps on its own and offers no completion signal, and a
    // hung-up shell is gone within the grace period.
    asio::steady_timer timer(executor_);
    while (engine_->liveProcessCount() > 0) {
        timer.expires_after(std::chrono::milliseconds(20));
        co_await timer.async_wait(asio::use_awaitable);
    }
}

} // namespace OrvexServer
