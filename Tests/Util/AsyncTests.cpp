#include "OrvexCore/Util/Async.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include "Support/RunAwaitable.hpp"

using OrvexCore::inBackground;

namespace {

/// The pool thread that finished the work still counts as work on `context` until it lets go
/// of the task; the context must not be destroyed before then.
void drain(boost::asio::io_context& context) {
    context.restart();
    context.run();
}

} // namespace

// What the work captured is released exactly once (a closure destroyed twice would drop the
// count below one and free the object under its owner), and the work runs off the caller's
// thread.
TEST(AsyncTests, BackgroundWorkRunsElsewhereAndReleasesItsCapturesOnce) {
    boost::asio::io_context context;
    auto shared = std::make_shared<int>(41);
    auto caller = std::this_thread::get_id();
    auto task = [](std::shared_ptr<int> value,
                   std::thread::id caller) -> boost::asio::awaitable<int> {
        auto work = [value, caller] {
            if (std::this_thread::get_id() == caller) {
                throw std::logic_error("ran on the caller's thread");
            }
            return *value + 1;
        };
        co_return co_await inBackground(std::move(work));
    };
    EXPECT_EQ(OrvexTest::runAwaitable(context, task(shared, caller)), 42);
    drain(context);
    // The pool thread may still be tearing down the finished task when the caller resumes.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (shared.use_count() > 1 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(shared.use_count(), 1);
}

// Two coroutines on one strand over the background pool each wait, in the background, for
// the other to arrive. If background work ran inline on the strand, the first would hold the
// strand and the second could never start.
TEST(AsyncTests, BackgroundWorkNeverHoldsTheCallersStrand) {
    auto strand = boost::asio::make_strand(OrvexCore::backgroundPool());
    auto arrivals = std::make_shared<std::atomic<int>>(0);
    auto meet = [](std::shared_ptr<std::atomic<int>> arrivals) -> boost::asio::awaitable<bool> {
        auto work = [arrivals] {
            ++*arrivals;
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (*arrivals < 2 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return *arrivals >= 2;
        };
        co_return co_await inBackground(std::move(work));
    };
    auto first = boost::asio::co_spawn(strand, meet(arrivals), boost::asio::use_future);
    auto second = boost::asio::co_spawn(strand, meet(arrivals), boost::asio::use_future);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
}
