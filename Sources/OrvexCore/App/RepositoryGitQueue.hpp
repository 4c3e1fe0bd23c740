#pragma once

#include <map>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {

/// One lane per repository on the background pool: git work handed to the lane of a
/// repository runs after the work handed to it before has finished, never beside it. git
/// itself does not guard every multi-step change of a repository's shared state (adding a
/// worktree while another is removed can fail reading ".git/worktrees/..."), so the
/// application state sends all its git work on one repository through one lane. Work on
/// different repositories still runs in parallel.
///
/// Internal to the application state. Main executor only (the map of lanes has no lock).
class RepositoryGitQueue {
public:
    /// Runs the blocking `work` in the lane of `repoPath` and resumes the caller on its own
    /// executor with the result; an exception of `work` is rethrown there. `work` is taken by
    /// value and must not refer to objects bound to the main executor.
    template <class Work>
    auto run(std::string repoPath, Work work)
        -> boost::asio::awaitable<std::invoke_result_t<Work>> {
        using Result = std::invoke_result_t<Work>;
        auto lane = laneOf(repoPath);
        // Named locals, not temporaries inside co_await: g++ 12 destroys those twice.
        auto body = [work = std::move(work)]() mutable -> boost::asio::awaitable<Result> {
            if constexpr (std::is_void_v<Result>) {
                work();
                co_return;
            } else {
                co_return work();
            }
        };
        auto task = boost::asio::co_spawn(lane, std::move(body), boost::asio::use_awaitable);
        co_return co_await std::move(task);
    }

private:
    using Lane = boost::asio::strand<boost::asio::thread_pool::executor_type>;

    Lane laneOf(const std::string& repoPath) {
        // One spelling per folder, so "/r" and "/r/" share a lane.
        std::string key = Paths::standardized(repoPath);
        auto found = lanes_.find(key);
        if (found == lanes_.end()) {
            found =
                lanes_.emplace(std::move(key), boost::asio::make_strand(backgroundPool())).first;
        }
        return found->second;
    }

    std::map<std::string, Lane> lanes_;
};

} // namespace OrvexCore
