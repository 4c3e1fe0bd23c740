#pragma once

#include <chrono>
#include <thread>

#include <boost/asio/io_context.hpp>

namespace OrvexTest {

/// Runs `context` (the test's main executor) until `done()` holds, checking after every
/// handler; false when it still does not after `limit`. The limit is a bound for a test that
/// hangs, not a speed target.
template <class Done>
bool runUntil(boost::asio::io_context& context, Done done,
              std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            return false;
        }
        context.restart();
        context.run_one_for(std::chrono::milliseconds(20));
    }
    return true;
}

/// Checks `done()` every 20 ms until it holds, for conditions another process or thread
/// brings about; false when it still does not after `limit` (a bound for a test that hangs,
/// not a speed target).
template <class Done>
bool eventually(Done done, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace OrvexTest
