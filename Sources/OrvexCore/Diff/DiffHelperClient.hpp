#pragma once

#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Git/FileDiff.hpp"
#include "OrvexCore/Platform/Logger.hpp"

namespace OrvexCore {

class DiffHelperWorker;

/// The application's side of the diff helper: a pool of at most `maxWorkers` helper
/// processes, each answering one request at a time. Helpers are started lazily, the first time
/// a request finds no idle one and the pool has room; idle helpers are reused last in, first
/// out; requests that find the pool full wait and are served first in, first out.
///
/// An actor: all pool bookkeeping runs on the client's own strand, and every operation may be
/// awaited from any executor (the caller resumes on its own). The blocking pipe work of a
/// round trip runs on the background pool, never on the strand or the caller's executor.
/// Owned through std::shared_ptr (`create`); a request in flight or waiting keeps the client
/// alive, so waiting requests are released by `shutdown()`.
class DiffHelperClient : public std::enable_shared_from_this<DiffHelperClient> {
public:
    /// Why a diff through the helper failed. Compares equal by kind and message.
    class ClientError : public std::exception {
    public:
        enum class Kind { spawnFailed, helperError, notRunning, timeout, crashed };

        static ClientError spawnFailed(std::string message);
        static ClientError helperError(std::string message);
        static ClientError notRunning();
        static ClientError timeout();
        static ClientError crashed();

        Kind kind() const { return kind_; }
        /// The payload of `spawnFailed` and `helperError`; empty for the others.
        const std::string& message() const { return message_; }
        /// The message itself for the two cases with one; otherwise "Diff helper is not
        /// running", "Diff timed out" or "Diff helper crashed".
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

        friend bool operator==(const ClientError& a, const ClientError& b) {
            return a.kind_ == b.kind_ && a.message_ == b.message_;
        }

    private:
        ClientError(Kind kind, std::string message, std::string description);

        Kind kind_;
        std::string message_;
        std::string description_;
    };

    /// The most helper processes alive at once.
    static constexpr int maxWorkers = 3;

    /// Where the helper executable is: "OrvexDiffHelper" beside the running executable if that
    /// file is executable; else "<current folder>/.build/debug/OrvexDiffHelper" if executable;
    /// else "<current folder>/.build/arm64-apple-macosx/debug/OrvexDiffHelper", unchecked.
    static std::filesystem::path defaultHelperURL();
    /// The same search from a given executable path (empty when unknown) and current folder.
    static std::filesystem::path defaultHelperURL(const std::string& mainExecutable,
                                                  const std::string& currentDirectory);

    /// An inactive client for the helper at `helperURL`; starts no process. Its strand runs
    /// on `executor` (the background pool unless given).
    static std::shared_ptr<DiffHelperClient> create(std::filesystem::path helperURL);
    static std::shared_ptr<DiffHelperClient> create(std::filesystem::path helperURL,
                                                    boost::asio::any_io_executor executor);

    DiffHelperClient(const DiffHelperClient&) = delete;
    DiffHelperClient& operator=(const DiffHelperClient&) = delete;
    /// Idle helpers are asked to stop; every helper process is reaped in the background.
    ~DiffHelperClient();

    /// Makes the client accept requests. Throws `spawnFailed` with "Diff helper not found at "
    /// + the path when the helper is not an executable file (the client stays inactive).
    /// Starts no process; harmless when already active.
    boost::asio::awaitable<void> start();

    /// Stops accepting requests, stops the idle helpers (shutdown line, input closed,
    /// termination signal) and fails every waiting request with `notRunning`. Helpers lent to
    /// requests in flight are stopped when those requests finish. Never throws; the client can
    /// be started again.
    boost::asio::awaitable<void> shutdown();

    /// Whether the client accepts requests.
    boost::asio::awaitable<bool> isRunning();
    /// Helper processes this client ever started (only grows).
    boost::asio::awaitable<int> spawnedProcessCount();
    /// Helpers owned by the pool now: idle ones plus lent ones (at most `maxWorkers`).
    boost::asio::awaitable<int> liveWorkerCount();

    /// The changed files of `worktreePath` against `base`, computed by a helper. Throws
    /// `ClientError` (`notRunning`, `spawnFailed`, `crashed`, `helperError` with the helper's
    /// text) or `DiffHelperDecodingError` for an answer that is not a valid response.
    boost::asio::awaitable<std::vector<FileDiff>> list(std::string worktreePath, std::string base);

    /// The patch of `path` in `worktreePath` against `base` (note: base before path), bounded
    /// in size by the helper. Throws as `list`.
    boost::asio::awaitable<std::string> patch(std::string worktreePath, std::string base,
                                              std::string path);

private:
    using Worker = std::shared_ptr<DiffHelperWorker>;
    /// A request waiting for a worker; resumed with one, or with none when it must give up.
    using Waiter = boost::asio::any_completion_handler<void(Worker)>;

    DiffHelperClient(std::filesystem::path helperURL, boost::asio::any_io_executor executor);

    // Everything below runs on strand_.
    /// One request on a lent worker; returns the helper's answer when it is `ok`.
    boost::asio::awaitable<DiffHelperResponse> perform(DiffHelperRequest request);
    boost::asio::awaitable<Worker> checkOut();
    boost::asio::awaitable<Worker> waitForWorker();
    void checkIn(Worker worker);
    void discard(Worker worker);
    Worker spawnWorker();
    void resume(Waiter waiter, Worker worker);

    const std::filesystem::path helperURL_;
    const Platform::Logger logger_;
    boost::asio::strand<boost::asio::any_io_executor> strand_;
    bool isActive_ = false;
    /// A stack: the most recently checked-in worker is lent first.
    std::vector<Worker> idle_;
    int liveWorkerCount_ = 0;
    std::deque<Waiter> waiters_;
    int spawnedProcessCount_ = 0;
};

} // namespace OrvexCore
