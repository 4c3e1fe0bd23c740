#include "OrvexCore/Diff/DiffHelperClient.hpp"

#include <utility>

#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Diff/DiffHelperWorker.hpp"
#include "OrvexCore/OrvexCore.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;
using ClientError = DiffHelperClient::ClientError;

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

/// What a round trip brought back, decoded off the strand. A line that is not a valid
/// response is kept as its error: the helper itself is fine, so the worker goes back to the
/// pool before the error reaches the caller.
struct Exchange {
    DiffHelperResponse response;
    std::exception_ptr decodingError;
};

Exchange exchangeLine(DiffHelperWorker& worker, const std::string& line) {
    std::string answer = worker.roundTrip(line);
    Exchange exchange;
    try {
        exchange.response = DiffHelperCoding::decodeResponse(answer);
    } catch (...) {
        exchange.decodingError = std::current_exception();
    }
    return exchange;
}

} // namespace

// MARK: ClientError

ClientError::ClientError(Kind kind, std::string message, std::string description)
    : kind_(kind), message_(std::move(message)), description_(std::move(description)) {}

ClientError ClientError::spawnFailed(std::string message) {
    std::string description = message;
    return ClientError(Kind::spawnFailed, std::move(message), std::move(description));
}

ClientError ClientError::helperError(std::string message) {
    std::string description = message;
    return ClientError(Kind::helperError, std::move(message), std::move(description));
}

ClientError ClientError::notRunning() {
    return ClientError(Kind::notRunning, {}, "Diff helper is not running");
}

ClientError ClientError::timeout() {
    return ClientError(Kind::timeout, {}, "Diff timed out");
}

ClientError ClientError::crashed() {
    return ClientError(Kind::crashed, {}, "Diff helper crashed");
}

// MARK: Creation

std::filesystem::path DiffHelperClient::defaultHelperURL() {
    std::error_code ec;
    auto currentDirectory = std::filesystem::current_path(ec);
    return defaultHelperURL(Paths::mainExecutablePath(), ec ? "/" : currentDirectory.string());
}

std::filesystem::path DiffHelperClient::defaultHelperURL(const std::string& mainExecutable,
                                                         const std::string& currentDirectory) {
    if (!mainExecutable.empty()) {
        auto beside = Paths::appendingComponent(Paths::deletingLastComponent(mainExecutable),
                                                "OrvexDiffHelper");
        if (isExecutableFile(beside)) {
            return beside;
        }
    }
    auto built = Paths::appendingComponent(currentDirectory, ".build/debug/OrvexDiffHelper");
    if (isExecutableFile(built)) {
        return built;
    }
    return Paths::appendingComponent(currentDirectory,
                                     ".build/arm64-apple-macosx/debug/OrvexDiffHelper");
}

std::shared_ptr<DiffHelperClient> DiffHelperClient::create(std::filesystem::path helperURL) {
    return create(std::move(helperURL), backgroundPool().get_executor());
}

std::shared_ptr<DiffHelperClient> DiffHelperClient::create(std::filesystem::path helperURL,
                                                           asio::any_io_executor executor) {
    return std::shared_ptr<DiffHelperClient>(
        new DiffHelperClient(std::move(helperURL), std::move(executor)));
}

DiffHelperClient::DiffHelperClient(std::filesystem::path helperURL, asio::any_io_executor executor)
    : helperURL_(std::move(helperURL)), logger_(bundleIdentifier, "DiffHelper"),
      strand_(asio::make_strand(std::move(executor))) {}

DiffHelperClient::~DiffHelperClient() {
    // Nothing else can hold the client now: a request in flight or waiting would keep it
    // alive. The workers' own destructors reap the processes.
    for (auto& worker : idle_) {
        worker->shutdown();
    }
}

// MARK: Public operations (each hops onto the strand; the caller resumes on its executor)

// Each operation captures the client when it is called (not when its awaitable starts) and
// runs its body on the strand; the awaiting caller resumes on its own executor.

awaitable<void> DiffHelperClient::start() {
    auto body = [self = shared_from_this()]() -> awaitable<void> {
        if (!isExecutableFile(self->helperURL_.string())) {
            throw ClientError::spawnFailed("Diff helper not found at " + self->helperURL_.string());
        }
        self->isActive_ = true;
        co_return;
    };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

awaitable<void> DiffHelperClient::shutdown() {
    auto body = [self = shared_from_this()]() -> awaitable<void> {
        self->isActive_ = false;
        for (auto& worker : self->idle_) {
            worker->shutdown();
            --self->liveWorkerCount_;
        }
        self->idle_.clear();
        auto waiting = std::exchange(self->waiters_, {});
        for (auto& waiter : waiting) {
            self->resume(std::move(waiter), nullptr);
        }
        co_return;
    };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

awaitable<bool> DiffHelperClient::isRunning() {
    auto body = [self = shared_from_this()]() -> awaitable<bool> { co_return self->isActive_; };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

awaitable<int> DiffHelperClient::spawnedProcessCount() {
    auto body = [self = shared_from_this()]() -> awaitable<int> {
        co_return self->spawnedProcessCount_;
    };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

awaitable<int> DiffHelperClient::liveWorkerCount() {
    auto body = [self = shared_from_this()]() -> awaitable<int> {
        co_return self->liveWorkerCount_;
    };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

awaitable<std::vector<FileDiff>> DiffHelperClient::list(std::string worktreePath,
                                                        std::string base) {
    DiffHelperRequest request{"list", DiffHelperOp::list, std::move(worktreePath), std::move(base),
                              std::nullopt};
    auto body = [self = shared_from_this(),
                 request = std::move(request)]() -> awaitable<std::vector<FileDiff>> {
        DiffHelperResponse response = co_await self->perform(request);
        co_return std::move(response.files).value_or(std::vector<FileDiff>{});
    };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

awaitable<std::string> DiffHelperClient::patch(std::string worktreePath, std::string base,
                                               std::string path) {
    DiffHelperRequest request{"patch", DiffHelperOp::patch, std::move(worktreePath),
                              std::move(base), std::move(path)};
    auto body = [self = shared_from_this(),
                 request = std::move(request)]() -> awaitable<std::string> {
        DiffHelperResponse response = co_await self->perform(request);
        co_return std::move(response.patch).value_or(std::string());
    };
    return asio::co_spawn(strand_, std::move(body), use_awaitable);
}

// MARK: The pool (strand only)

awaitable<DiffHelperResponse> DiffHelperClient::perform(DiffHelperRequest request) {
    if (!isActive_) {
        throw ClientError::notRunning();
    }
    Worker worker = co_await checkOut();
    std::string line;
    try {
        line = request.encodedLine();
    } catch (...) {
        // The helper never saw this request, so it is as good as before.
        checkIn(std::move(worker));
        throw;
    }

    Exchange exchange;
    std::exception_ptr failure;
    // The closure is a named local: g++ 12 destroys a temporary inside a co_await expression
    // twice.
    try {
        auto roundTrip = [worker, line = std::move(line)] { return exchangeLine(*worker, line); };
        exchange = co_await inBackground(std::move(roundTrip));
    } catch (const ClientError&) {
        failure = std::current_exception();
    } catch (...) {
        failure = std::make_exception_ptr(ClientError::crashed());
    }
    if (failure) {
        discard(std::move(worker));
        std::rethrow_exception(failure);
    }

    checkIn(std::move(worker));
    if (exchange.decodingError) {
        std::rethrow_exception(exchange.decodingError);
    }
    if (!exchange.response.ok) {
        throw ClientError::helperError(exchange.response.error.value_or("unknown"));
    }
    co_return std::move(exchange.response);
}

awaitable<DiffHelperClient::Worker> DiffHelperClient::checkOut() {
    for (;;) {
        if (!isActive_) {
            throw ClientError::notRunning();
        }
        // A helper that died while idle is noticed here and dropped.
        while (!idle_.empty()) {
            Worker worker = std::move(idle_.back());
            idle_.pop_back();
            if (worker->isRunning()) {
                co_return worker;
            }
            --liveWorkerCount_;
        }
        if (liveWorkerCount_ < maxWorkers) {
            co_return spawnWorker();
        }

        Worker given = co_await waitForWorker();
        if (!given) {
            throw ClientError::notRunning();
        }
        if (!isActive_) {
            discard(std::move(given));
            throw ClientError::notRunning();
        }
        if (given->isRunning()) {
            co_return given;
        }
        given->shutdown();
        --liveWorkerCount_;
    }
}

awaitable<DiffHelperClient::Worker> DiffHelperClient::waitForWorker() {
    // The initiation runs on the strand once this coroutine is suspended, so the waiter is
    // queued with no other bookkeeping in between.
    return asio::async_initiate<const asio::use_awaitable_t<>, void(Worker)>(
        [this](auto handler) { waiters_.emplace_back(std::move(handler)); }, use_awaitable);
}

void DiffHelperClient::resume(Waiter waiter, Worker worker) {
    // Every waiter is a request running on this strand. It is resumed through a post rather
    // than inline, so it continues after the current bookkeeping step has finished.
    asio::post(strand_, [waiter = std::move(waiter), worker = std::move(worker)]() mutable {
        std::move(waiter)(std::move(worker));
    });
}

void DiffHelperClient::checkIn(Worker worker) {
    if (!isActive_ || !worker->isRunning()) {
        discard(std::move(worker));
        return;
    }
    if (!waiters_.empty()) {
        Waiter waiter = std::move(waiters_.front());
        waiters_.pop_front();
        resume(std::move(waiter), std::move(worker));
        return;
    }
    idle_.push_back(std::move(worker));
}

void DiffHelperClient::discard(Worker worker) {
    worker->shutdown();
    worker.reset();
    --liveWorkerCount_;
    if (waiters_.empty()) {
        return;
    }
    Waiter waiter = std::move(waiters_.front());
    waiters_.pop_front();
    Worker replacement;
    if (isActive_) {
        try {
            replacement = spawnWorker();
        } catch (const ClientError&) {
            // The waiter gives up with `notRunning`; the launch error has nobody to go to.
        }
    }
    resume(std::move(waiter), std::move(replacement));
}

DiffHelperClient::Worker DiffHelperClient::spawnWorker() {
    Worker worker;
    try {
        worker = std::make_shared<DiffHelperWorker>(helperURL_);
    } catch (const std::exception& e) {
        throw ClientError::spawnFailed(e.what());
    }
    ++liveWorkerCount_;
    ++spawnedProcessCount_;
    return worker;
}

} // namespace OrvexCore
