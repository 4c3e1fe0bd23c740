#pragma once

#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace OrvexCore {

/// The shared pool that runs blocking work (git, file writes) off the main executor.
/// Lives until the process exits.
boost::asio::thread_pool& backgroundPool();

/// Runs the blocking `work` on the background pool, never inline on the caller's thread (not
/// even when the caller is itself on a pool thread or a strand over the pool), and resumes the
/// awaiting coroutine on its own executor with the result; an exception thrown by `work` is
/// rethrown at the co_await. `work` is taken by value and must not refer to objects bound to the
/// main executor. Pass a named closure (`co_await inBackground(std::move(work))`), never a lambda
/// written inside the co_await expression: g++ 12 destroys such a temporary twice.
template <class Work>
auto inBackground(Work work) -> boost::asio::awaitable<std::invoke_result_t<Work>> {
    using Result = std::invoke_result_t<Work>;
    // The closure and the task are named locals: g++ 12 destroys a temporary that lives inside
    // a co_await expression twice, which double-frees whatever `work` captured.
    auto body = [work = std::move(work)]() mutable -> boost::asio::awaitable<Result> {
        // co_spawn starts the body inline when the caller already runs on a pool thread (a
        // strand over the pool does): the blocking work would then hold the caller's strand.
        // Hopping through a post makes the caller suspend first.
        co_await boost::asio::post(backgroundPool(), boost::asio::use_awaitable);
        if constexpr (std::is_void_v<Result>) {
            work();
            co_return;
        } else {
            co_return work();
        }
    };
    auto task =
        boost::asio::co_spawn(backgroundPool(), std::move(body), boost::asio::use_awaitable);
    co_return co_await std::move(task);
}

} // namespace OrvexCore
