#include "orvex/Runtime.hpp"

#include <csignal>
#include <filesystem>

#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/FileUserDefaults.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "orvex/Failure.hpp"

namespace Orvex {

Runtime::Runtime(RuntimeOptions options)
    : options_(options), signals_(io_, SIGINT, SIGTERM, SIGHUP) {
    style_.color = wantsColor(options.color, STDOUT_FILENO);
    armSignals();
}

Runtime::~Runtime() {
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    state_.reset();
    // Background threads may still hold a work guard of this context for a moment after
    // handing back their last result; running until no work is left lets them release it
    // before the context goes.
    io_.restart();
    io_.run();
}

void Runtime::armSignals() {
    signals_.async_wait([this](const boost::system::error_code& error, int) {
        if (!error) {
            onSignal();
        }
    });
}

void Runtime::onSignal() {
    if (interrupting_) {
        // A second interrupt while the first is still saving: stop at once.
        _exit(static_cast<int>(ExitStatus::interrupted));
    }
    interrupting_ = true;
    armSignals();
    // The command's own work may still be suspended; the stop runs beside it and ends the
    // process, so whatever the command would have printed is never shown half done.
    boost::asio::co_spawn(
        io_,
        [this]() -> boost::asio::awaitable<void> {
            if (interruptHook_) {
                co_await interruptHook_();
            }
            if (state_ && !finished_) {
                finished_ = true;
                state_->flushPersist();
                co_await state_->shutdownDiffHelper();
            }
        },
        [](std::exception_ptr) {
            writeAll(STDERR_FILENO, "orvex: interrupted\n");
            _exit(static_cast<int>(ExitStatus::interrupted));
        });
}

OrvexCore::AppSettings& Runtime::settings() {
    if (!settings_) {
        settings_ = std::make_unique<OrvexCore::AppSettings>(
            std::make_shared<OrvexCore::FileUserDefaults>());
    }
    return *settings_;
}

OrvexCore::AppState& Runtime::state() {
    if (!state_) {
        auto& userSettings = settings();
        state_ = OrvexCore::AppState::live(io_.get_executor());
        // live() always uses the default root; the user's setting (already repaired to a
        // folder inside the home folder) decides where new worktrees go.
        state_->sessionsRoot().set(std::filesystem::path(userSettings.sessionsRootPath()));
        run(state_->loadPersisted());
    }
    return *state_;
}

void Runtime::ensureDiffHelper() {
    auto& loaded = state();
    if (helperStarted_) {
        return;
    }
    // The helper ships beside orvex; naming that folder tells the user what to fix, where
    // the pool's own error would name a fallback build folder that means nothing here.
    std::string self = OrvexCore::Paths::mainExecutablePath();
    std::string folder = OrvexCore::Paths::deletingLastComponent(self);
    std::string beside = OrvexCore::Paths::appendingComponent(folder, "OrvexDiffHelper");
    if (!self.empty() && ::access(beside.c_str(), X_OK) != 0) {
        throw CliFailure(ExitStatus::failure,
                         fmt::format("the diff helper is missing: OrvexDiffHelper must sit beside "
                                     "orvex, in {}",
                                     folder));
    }
    try {
        run(loaded.ensureDiffHelperRunning());
    } catch (const std::exception& e) {
        throw CliFailure(ExitStatus::failure,
                         std::string("the diff helper cannot be started: ") + e.what());
    }
    helperStarted_ = true;
}

void Runtime::finish() {
    if (interrupting_) {
        io_.restart();
        io_.run();
    }
    if (finished_ || !state_) {
        finished_ = true;
        return;
    }
    finished_ = true;
    state_->flushPersist();
    run(state_->shutdownDiffHelper());
}

} // namespace Orvex
