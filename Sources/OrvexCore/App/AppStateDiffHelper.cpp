#include "OrvexCore/App/AppState.hpp"

#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"

namespace OrvexCore {

namespace asio = boost::asio;

// The client is an actor on its own strand; its operations resume the awaiting coroutine on
// the awaiting coroutine's executor, so these continue on the main executor.

std::shared_ptr<AppState> AppState::live(asio::any_io_executor mainExecutor) {
    return std::make_shared<AppState>(
        mainExecutor, std::make_shared<GitCLIService>(),
        std::make_shared<JSONSessionStore>(JSONSessionStore::defaultURL()),
        SlugGenerator::standard(), defaultSessionsRoot(),
        DiffHelperClient::create(DiffHelperClient::defaultHelperURL()));
}

asio::awaitable<void> AppState::ensureDiffHelperRunning() {
    auto self = shared_from_this();
    auto helper = diffHelper_;
    co_await helper->start();
}

asio::awaitable<void> AppState::shutdownDiffHelper() {
    auto self = shared_from_this();
    auto helper = diffHelper_;
    co_await helper->shutdown();
}

asio::awaitable<std::vector<FileDiff>> AppState::helperList(std::string worktreePath,
                                                            std::string base) {
    auto helper = diffHelper_;
    auto request = helper->list(std::move(worktreePath), std::move(base));
    co_return co_await std::move(request);
}

asio::awaitable<std::string> AppState::helperPatch(std::string worktreePath, std::string base,
                                                   std::string path) {
    auto helper = diffHelper_;
    auto request = helper->patch(std::move(worktreePath), std::move(base), std::move(path));
    co_return co_await std::move(request);
}

} // namespace OrvexCore
