#pragma once

#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace OrvexCore {

/// The shared pool that runs blocking work (git, file writes) off the main executor.
/// Lives until the process exits.
boost::asio::thread_pool& backgroundPool();

/// Runs the blocking `work` on the background pool and resumes the awaiting coroutine on its
/// own executor with the result; an exception thrown by `work` is rethrown at the co_await.
/// `work` is taken by value and must not refer to objects bound to the main executor.
template <class Work>
auto inBackground(Work work) -> boost::asio::awaitable<std::invoke_result_t<Work>> {
    using Result = std::invoke_result_t<Work>;
    co_return co_await boost::asio::co_spawn(
        backgroundPool(),
        [work = std::move(work)]() mutable -> boost::asio::awaitable<Result> {
            if constexpr (std::is_void_v<Result>) {
                work();
                co_return;
            } else {
                co_return work();
            }
        },
        boost::asio::use_awaitable);
}

} // namespace OrvexCore
