#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "orvex/Output.hpp"

namespace OrvexCore {
class AppSettings;
} // namespace OrvexCore

namespace Orvex {

class StateClient;

/// How the user asked output to look.
struct RuntimeOptions {
    ColorMode color = ColorMode::automatic;
    bool pager = true;
};

/// Everything one run of `orvex` works with: the main executor (a local io_context), and the
/// connection to the user's server, which owns the application state and the settings (made
/// the first time a command asks for either; the server is started when none runs). Nothing
/// here writes the state or the settings file: every change is a request the server has saved
/// when it answers, so an interrupt (SIGINT, SIGTERM, SIGHUP) simply ends the process with
/// status 130 without printing the command's held-back output. Main thread only.
class Runtime {
public:
    explicit Runtime(RuntimeOptions options);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    boost::asio::io_context& io() { return io_; }
    /// What the user asked output to look like.
    const RuntimeOptions& options() const { return options_; }
    /// Styling for standard output.
    const Style& style() const { return style_; }
    /// The command's standard output, shown after `finish()`.
    Printer& out() { return out_; }

    /// The user's settings, read from and written through the server (on first use).
    OrvexCore::AppSettings& settings();
    /// The application state in the server (connected on first use).
    StateClient& state();
    /// The server keeps the helper pool; kept for the commands' calling pattern.
    void ensureDiffHelper() {}

    /// Runs `task` on the main executor until it finishes; returns its result or rethrows.
    template <class T> T run(boost::asio::awaitable<T> task);

    /// The end of one of several tasks run together: a value or an error.
    template <class T> struct Outcome {
        std::optional<T> value;
        std::exception_ptr error;
    };
    /// Runs all `tasks` at once on the main executor (their background work overlaps) until
    /// every one has finished; the outcomes are in the order of `tasks`.
    template <class T> std::vector<Outcome<T>> runAll(std::vector<boost::asio::awaitable<T>> tasks);
    /// Runs all `tasks` at once like `runAll`, handing each outcome to `onFinished` with its
    /// index as soon as that task ends (in the order they end), on the main executor.
    template <class T>
    void runEach(std::vector<boost::asio::awaitable<T>> tasks,
                 const std::function<void(std::size_t, Outcome<T>)>& onFinished);

    /// Run first when an interrupt arrives (the run command closes its terminals here).
    /// Ignored once an interrupt is being handled (the running hook must stay alive).
    void setInterruptHook(std::function<boost::asio::awaitable<void>()> hook) {
        if (!interrupting_) {
            interruptHook_ = std::move(hook);
        }
    }

    /// Stops catching SIGINT, SIGTERM and SIGHUP, for a command that handles them itself (the
    /// server): caught here, they would wait for a loop that no longer runs.
    void releaseSignals();

    /// True once an interrupt arrived; its stop is under way and ends the process.
    bool interrupted() const { return interrupting_; }

    /// Ends the command's use of the server. After an interrupt it only lets the interrupt's
    /// stop finish, which ends the process: it does not return then.
    void finish();

private:
    void armSignals();
    void onSignal();

    RuntimeOptions options_;
    boost::asio::io_context io_;
    boost::asio::signal_set signals_;
    Style style_;
    Printer out_;
    std::unique_ptr<StateClient> state_;
    std::unique_ptr<OrvexCore::AppSettings> settings_;
    bool finished_ = false;
    bool interrupting_ = false;
    std::function<boost::asio::awaitable<void>()> interruptHook_;
};

template <class T> T Runtime::run(boost::asio::awaitable<T> task) {
    bool done = false;
    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result{};
    boost::asio::co_spawn(io_, std::move(task), [&](std::exception_ptr e, auto... value) {
        failure = e;
        if constexpr (!std::is_void_v<T>) {
            if (!e) {
                result.emplace(std::move(value)...);
            }
        }
        done = true;
    });
    io_.restart();
    while (!done && io_.run_one() > 0) {
    }
    if (!done) {
        throw std::logic_error("an operation never finished");
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if constexpr (!std::is_void_v<T>) {
        return std::move(*result);
    }
}

template <class T>
std::vector<Runtime::Outcome<T>> Runtime::runAll(std::vector<boost::asio::awaitable<T>> tasks) {
    std::vector<Outcome<T>> outcomes(tasks.size());
    std::size_t remaining = tasks.size();
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        boost::asio::co_spawn(io_, std::move(tasks[i]),
                              [&outcomes, &remaining, i](std::exception_ptr e, auto... value) {
                                  outcomes[i].error = e;
                                  if (!e) {
                                      outcomes[i].value.emplace(std::move(value)...);
                                  }
                                  --remaining;
                              });
    }
    io_.restart();
    while (remaining > 0 && io_.run_one() > 0) {
    }
    if (remaining > 0) {
        throw std::logic_error("an operation never finished");
    }
    return outcomes;
}

template <class T>
void Runtime::runEach(std::vector<boost::asio::awaitable<T>> tasks,
                      const std::function<void(std::size_t, Outcome<T>)>& onFinished) {
    std::size_t remaining = tasks.size();
    std::exception_ptr callbackFailure;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        boost::asio::co_spawn(io_, std::move(tasks[i]),
                              [&, i](std::exception_ptr e, auto... value) {
                                  Outcome<T> outcome;
                                  outcome.error = e;
                                  if (!e) {
                                      outcome.value.emplace(std::move(value)...);
                                  }
                                  --remaining;
                                  // After the first failure of the callback the rest only
                                  // finish; their outcomes are of no use anymore.
                                  if (callbackFailure) {
                                      return;
                                  }
                                  try {
                                      onFinished(i, std::move(outcome));
                                  } catch (...) {
                                      callbackFailure = std::current_exception();
                                  }
                              });
    }
    io_.restart();
    while (remaining > 0 && io_.run_one() > 0) {
    }
    if (remaining > 0) {
        throw std::logic_error("an operation never finished");
    }
    if (callbackFailure) {
        std::rethrow_exception(callbackFailure);
    }
}

} // namespace Orvex
