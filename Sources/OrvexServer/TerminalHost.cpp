#include "OrvexServer/TerminalHost.hpp"

#include <algorithm>

#include <boost/asio/use_awaitable.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexPty/PtyTerminalEngine.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
using OrvexCore::SessionStatus;
using OrvexCore::StatusMonitor;
using OrvexCore::TerminalActivity;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;

using OrvexPty::ActivityDetector;

namespace {

/// A reason's words without its numbers: "sleep has been running for 3.0 s" and "... 4.0 s"
/// say the same thing.
std::string wordsOf(const std::string& reason) {
    std::string words;
    for (char c : reason) {
        const bool digit = c >= '0' && c <= '9';
        if (digit || (c == '.' && !words.empty() && words.back() == '#')) {
            if (words.empty() || words.back() != '#') {
                words += '#';
            }
            continue;
        }
        words += c;
    }
    return words;
}

bool sameForClients(const TerminalHost::TerminalStatus& a, const TerminalHost::TerminalStatus& b) {
    return a.exited == b.exited && a.report.activity == b.report.activity &&
           wordsOf(a.report.reason) == wordsOf(b.report.reason);
}

TerminalHost::TerminalStatus exitedStatus(const TerminalRef& ref) {
    std::string reason = ref.exitCode
                             ? "the program ended with exit code " + std::to_string(*ref.exitCode)
                             : std::string("the program ended");
    return {{TerminalActivity::idle, std::move(reason)}, true};
}

} // namespace

std::string TerminalHost::TerminalStatus::name() const {
    if (exited) {
        return "exited";
    }
    switch (report.activity) {
    case TerminalActivity::working:
        return "working";
    case TerminalActivity::needsInput:
        return "needsInput";
    case TerminalActivity::idle:
        break;
    }
    return "idle";
}

/// One terminal's detector, the status last told about it and the timer that brings the
/// detector's next look.
struct TerminalHost::TerminalWatch {
    explicit TerminalWatch(asio::any_io_executor executor) : timer(executor) {}
    std::unique_ptr<ActivityDetector> detector;
    /// The latest evaluation, numbers and all.
    TerminalStatus latest;
    /// What clients were last told.
    std::optional<TerminalStatus> told;
    asio::steady_timer timer;
    std::optional<ActivityDetector::Date> armedFor;
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
    activityConfig_.quietSeconds = OrvexCore::AppSettings::defaultActivityQuietSeconds;
    activityConfig_.questionPatterns = OrvexCore::AppSettings::defaultActivityQuestionPatterns();
    OrvexPty::PtyTerminalEngine::Options options;
    options.onOutput = [this](const UUID& id, std::string_view bytes) { ingest(id, bytes); };
    auto engine = std::make_unique<OrvexPty::PtyTerminalEngine>(executor, std::move(options));
    engine_ = engine.get();
    controller_ = std::make_shared<OrvexCore::TerminalController>(executor, std::move(engine));
    controller_->onTerminalExit = [this](const TerminalRef& ref, std::optional<std::int32_t> code) {
        // The detector holds the terminal's descriptor, which is not to be read once the
        // terminal has ended.
        forgetTerminal(ref.id);
        if (onExit) {
            onExit(ref.sessionID, ref.id, code);
        }
        if (refOf(ref.id)) {
            auto ended = ref;
            ended.exitCode = code;
            tell(ref.sessionID, ref.id, exitedStatus(ended));
        }
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

const TerminalRef* TerminalHost::refOf(const UUID& terminalID) {
    for (const auto& ref : controller_->terminals().get()) {
        if (ref.id == terminalID) {
            return &ref;
        }
    }
    return nullptr;
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
    const TerminalRef* ref = refOf(terminalID);
    if (!ref) {
        return;
    }
    if (auto* watch = watchOf(*ref)) {
        watch->detector->ingest(bytes, ActivityDetector::Clock::now());
        evaluateTerminal(terminalID);
    }
}

TerminalHost::TerminalWatch* TerminalHost::watchOf(const TerminalRef& ref) {
    if (ref.isExited) {
        return nullptr;
    }
    auto& watch = watches_[ref.id];
    if (!watch) {
        watch = std::make_unique<TerminalWatch>(executor_);
        auto process =
            ref.handle ? OrvexPty::PtyTerminalEngine::processOf(*ref.handle) : std::nullopt;
        // Without the processes (a handle of another engine) the bytes alone decide.
        watch->detector = process ? ActivityDetector::forTerminal(activityConfig_,
                                                                  process->masterFD, process->pid)
                                  : std::make_unique<ActivityDetector>(activityConfig_, nullptr);
    }
    return watch.get();
}

void TerminalHost::forgetTerminal(const UUID& terminalID) {
    monitors_.erase(terminalID);
    // Destroying the timer cancels its wait; the handler then finds no watch.
    watches_.erase(terminalID);
}

void TerminalHost::evaluateTerminal(const UUID& terminalID) {
    const TerminalRef* ref = refOf(terminalID);
    if (!ref) {
        return;
    }
    auto* watch = watchOf(*ref);
    if (!watch) {
        return;
    }
    watch->latest = {watch->detector->evaluate(ActivityDetector::Clock::now()), false};
    if (!watch->told || !sameForClients(*watch->told, watch->latest)) {
        watch->told = watch->latest;
        tell(ref->sessionID, terminalID, watch->latest);
    }
    // `tell` runs callbacks, which may close the terminal.
    auto it = watches_.find(terminalID);
    if (it != watches_.end()) {
        arm(terminalID, *it->second);
    }
}

void TerminalHost::arm(const UUID& terminalID, TerminalWatch& watch) {
    const auto now = ActivityDetector::Clock::now();
    const auto next = watch.detector->nextCheck(now);
    if (!next) {
        if (watch.armedFor) {
            watch.timer.cancel();
            watch.armedFor.reset();
        }
        return;
    }
    // A wait that ends sooner stays: it looks and arms again for whatever is due then. So
    // steady output moves no timer; it is looked at once per settle period at most.
    if (watch.armedFor && *watch.armedFor <= *next) {
        return;
    }
    watch.armedFor = *next;
    watch.timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::max(*next - now, ActivityDetector::Clock::duration::zero())));
    watch.timer.async_wait([this, alive = alive_, terminalID](boost::system::error_code error) {
        if (error || !*alive) {
            return;
        }
        auto it = watches_.find(terminalID);
        if (it == watches_.end()) {
            return;
        }
        it->second->armedFor.reset();
        evaluateTerminal(terminalID);
    });
}

SessionStatus TerminalHost::status(const UUID& sessionID) {
    std::vector<TerminalActivity> activities;
    for (const auto& ref : controller_->terminals(sessionID)) {
        if (ref.isExited) {
            continue;
        }
        auto it = watches_.find(ref.id);
        activities.push_back(it == watches_.end() ? TerminalActivity::idle
                                                  : it->second->latest.report.activity);
    }
    return StatusMonitor::aggregate(activities);
}

void TerminalHost::holdOutput(const void* holder, std::set<UUID> terminals) {
    auto setHold = [this](const UUID& terminalID, bool hold) {
        const TerminalRef* ref = refOf(terminalID);
        if (ref && ref->handle) {
            OrvexPty::PtyTerminalEngine::holdOutput(*ref->handle, hold);
        }
    };
    std::set<UUID> before;
    if (auto it = holds_.find(holder); it != holds_.end()) {
        before = std::move(it->second);
        holds_.erase(it);
    }
    for (const auto& id : terminals) {
        if (!before.contains(id) && ++holdCounts_[id] == 1) {
            setHold(id, true);
        }
    }
    for (const auto& id : before) {
        if (!terminals.contains(id) && --holdCounts_[id] == 0) {
            holdCounts_.erase(id);
            setHold(id, false);
        }
    }
    if (!terminals.empty()) {
        holds_.emplace(holder, std::move(terminals));
    }
}

TerminalActivity TerminalHost::activity(const UUID& terminalID) {
    const auto status = terminalStatus(terminalID);
    return status ? status->report.activity : TerminalActivity::idle;
}

std::optional<TerminalHost::TerminalStatus> TerminalHost::terminalStatus(const UUID& terminalID) {
    const TerminalRef* ref = refOf(terminalID);
    if (!ref) {
        return std::nullopt;
    }
    if (ref->isExited) {
        return exitedStatus(*ref);
    }
    auto it = watches_.find(terminalID);
    if (it == watches_.end()) {
        return TerminalStatus{{TerminalActivity::idle, "no output yet"}, false};
    }
    return it->second->latest;
}

void TerminalHost::setActivityConfig(ActivityDetector::Config config) {
    activityConfig_ = std::move(config);
    std::vector<UUID> terminals;
    for (auto& [id, watch] : watches_) {
        watch->detector->setConfig(activityConfig_);
        terminals.push_back(id);
    }
    for (const auto& id : terminals) {
        evaluateTerminal(id);
    }
}

void TerminalHost::tell(const UUID& sessionID, std::optional<UUID> terminalID,
                        std::optional<TerminalStatus> terminal) {
    const SessionStatus now = status(sessionID);
    auto it = reported_.find(sessionID);
    const bool sessionChanged = it == reported_.end() || it->second != now;
    reported_[sessionID] = now;
    if (!sessionChanged && !terminalID) {
        return;
    }
    if (onStatus) {
        onStatus(StatusChange{sessionID, now, sessionChanged, terminalID, std::move(terminal)});
    }
}

void TerminalHost::evaluate(const UUID& sessionID) {
    tell(sessionID, std::nullopt, std::nullopt);
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
        forgetTerminal(ref.id);
    }
    controller_->closeAll(sessionID);
    reported_.erase(sessionID);
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
