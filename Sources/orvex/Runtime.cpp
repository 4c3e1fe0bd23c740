#include "orvex/Runtime.hpp"

#include <csignal>
#include <filesystem>

#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "orvex/Failure.hpp"
#include "orvex/RemoteUserDefaults.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

Runtime::Runtime(RuntimeOptions options)
    : options_(options), signals_(io_, SIGINT, SIGTERM, SIGHUP) {
    style_.color = wantsColor(options.color, STDOUT_FILENO);
    armSignals();
}

Runtime::~Runtime() {
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    settings_.reset();
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

void Runtime::releaseSignals() {
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    signals_.clear(ignored);
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
            finished_ = true;
        },
        [](std::exception_ptr) {
            writeAll(STDERR_FILENO, "orvex: interrupted\n");
            _exit(static_cast<int>(ExitStatus::interrupted));
        });
}

OrvexCore::AppSettings& Runtime::settings() {
    if (!settings_) {
        settings_ =
            std::make_unique<OrvexCore::AppSettings>(std::make_shared<RemoteUserDefaults>(state()));
    }
    return *settings_;
}

StateClient& Runtime::state() {
    if (!state_) {
        auto paths = OrvexServer::ServerPaths::current();
        auto connection =
            OrvexServer::connectOrStart(paths, OrvexCore::Paths::mainExecutablePath());
        // Files the server found unreadable and set aside, told once.
        for (const auto& notice :
             connection->greeting().value("notices", nlohmann::json::array())) {
            if (notice.is_string()) {
                writeAll(STDERR_FILENO, "orvex: notice: " + notice.get<std::string>() + "\n");
            }
        }
        state_ = std::make_unique<StateClient>(std::move(connection), paths.socketPath);
    }
    return *state_;
}

void Runtime::finish() {
    if (interrupting_) {
        io_.restart();
        io_.run();
    }
    finished_ = true;
}

} // namespace Orvex
