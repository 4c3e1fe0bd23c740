#include "OrvexServer/Notifier.hpp"

#include <cstdlib>
#include <memory>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <fmt/format.h>

#include "OrvexCore/Platform/Process.hpp"

extern char** environ;

namespace OrvexServer {

using OrvexCore::TerminalActivity;
using OrvexCore::Platform::ChildProcess;
using OrvexCore::Platform::SpawnOptions;
using OrvexCore::Platform::Stdio;

namespace {

/// The first executable `name` in the folders of PATH.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        auto end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty()) {
            std::string candidate = folder + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return {};
}

/// Waits on a thread of its own for a child the server no longer watches.
void waitAside(ChildProcess child) {
    std::thread([child = std::move(child)]() mutable { child.wait(); }).detach();
}

} // namespace

Notifier::Notifier(boost::asio::any_io_executor executor, Log log)
    : executor_(std::move(executor)), log_(std::move(log)) {}

Notifier::~Notifier() {
    // A stopping server does not wait for notices still running; they are reaped aside.
    for (const auto& weak : watches_) {
        if (auto watch = weak.lock()) {
            boost::system::error_code ignored;
            watch->cancel(ignored);
        }
    }
}

void Notifier::reapWhenDone(ChildProcess child) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0));
    if (pidfd < 0) {
        waitAside(std::move(child));
        return;
    }
    auto process = std::make_shared<ChildProcess>(std::move(child));
    auto watch = std::make_shared<boost::asio::posix::stream_descriptor>(executor_, pidfd);
    std::erase_if(watches_, [](const auto& weak) { return weak.expired(); });
    watches_.push_back(watch);
    watch->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                      [process, watch](boost::system::error_code error) {
                          if (error) {
                              waitAside(std::move(*process));
                          } else {
                              process->wait();
                          }
                      });
}

void Notifier::statusChanged(const Subject& subject, TerminalActivity activity) {
    auto& state = terminals_[subject.terminalID];
    if (state.activity == activity) {
        return;
    }
    if (state.hold) {
        state.hold->cancel();
    }
    state = {activity, false, nullptr};
    if (activity != TerminalActivity::needsInput) {
        return;
    }
    auto hold = std::make_shared<boost::asio::steady_timer>(executor_, needsInputHold);
    state.hold = hold;
    hold->async_wait([this, hold, subject,
                      alive = std::weak_ptr<int>(alive_)](const boost::system::error_code& error) {
        if (error || alive.expired()) {
            return;
        }
        auto it = terminals_.find(subject.terminalID);
        if (it == terminals_.end() || it->second.hold != hold) {
            return;
        }
        it->second.hold.reset();
        if (!it->second.told) {
            it->second.told = true;
            notify(subject, "needsInput");
        }
    });
}

void Notifier::forget(const OrvexCore::UUID& terminalID) {
    if (auto it = terminals_.find(terminalID); it != terminals_.end()) {
        if (it->second.hold) {
            it->second.hold->cancel();
        }
        terminals_.erase(it);
    }
}

void Notifier::bell(const Subject& subject) {
    auto& state = terminals_[subject.terminalID];
    if (state.told) {
        return;
    }
    state.told = true;
    notify(subject, "bell");
}

Notifier::Launch Notifier::launchFor(const Subject& subject, const std::string& status) const {
    Launch launch;
    launch.environment = {
        "ORVEX_WORKSPACE=" + subject.workspace,
        "ORVEX_SESSION=" + subject.session,
        "ORVEX_TERMINAL=" + subject.terminal,
        "ORVEX_STATUS=" + status,
        "ORVEX_SESSION_ID=" + subject.sessionID.string(),
        "ORVEX_TERMINAL_ID=" + subject.terminalID.string(),
    };
    if (!command_.empty()) {
        launch.argv = {"/bin/sh", "-c", command_};
        return launch;
    }
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!bus || !*bus) {
        return {};
    }
    std::string program = onPath("notify-send");
    if (program.empty()) {
        return {};
    }
    // Names go in as arguments, never through a shell.
    std::string what = status == "bell" ? "rang the bell" : "needs input";
    launch.argv = {
        program, "--app-name=Orvex", fmt::format("{}: {}", subject.session, what),
        fmt::format("{} in {} ({})", subject.terminal, subject.session, subject.workspace)};
    return launch;
}

void Notifier::notify(const Subject& subject, const std::string& status) {
    if (attached_ && attached_(subject.sessionID)) {
        return;
    }
    Launch launch = launchFor(subject, status);
    if (launch.argv.empty()) {
        return;
    }
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        if (!text.starts_with("ORVEX_")) {
            environment.emplace_back(text);
        }
    }
    environment.insert(environment.end(), launch.environment.begin(), launch.environment.end());
    SpawnOptions options{Stdio::null, Stdio::inherit, Stdio::inherit, std::nullopt, environment};
    try {
        auto program = launch.argv.front();
        std::vector<std::string> arguments(launch.argv.begin() + 1, launch.argv.end());
        reapWhenDone(ChildProcess::spawn(program, arguments, options));
    } catch (const std::exception& e) {
        if (log_) {
            log_(fmt::format("the notification for {} could not be run: {}", subject.session,
                             e.what()));
        }
    }
}

} // namespace OrvexServer
