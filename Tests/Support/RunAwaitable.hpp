#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace OrvexTest {

/// Runs `task` on `context` (the test's main executor) until it finishes, and returns its
/// result or rethrows its exception. Other work queued on the context runs meanwhile.
template <class T>
T runAwaitable(boost::asio::io_context& context, boost::asio::awaitable<T> task) {
    bool done = false;
    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result{};
    auto onDone = [&](std::exception_ptr e, auto... value) {
        failure = e;
        if constexpr (!std::is_void_v<T>) {
            if (!e) {
                result.emplace(std::move(value)...);
            }
        }
        done = true;
    };
    boost::asio::co_spawn(context, std::move(task), onDone);
    context.restart();
    while (!done && context.run_one() > 0) {
    }
    if (!done) {
        throw std::logic_error("the awaitable never finished: the context ran out of work");
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if constexpr (!std::is_void_v<T>) {
        return std::move(*result);
    }
}

} // namespace OrvexTest
