#include "OrvexCore/Util/Async.hpp"

#include <algorithm>
#include <thread>

namespace OrvexCore {

boost::asio::thread_pool& backgroundPool() {
    // Background work is mostly waiting on child processes, so the pool is wider than the
    // machine: a slow git call must not hold up the others. Never destroyed, so work still
    // queued at exit does not race static destruction.
    static auto* pool = new boost::asio::thread_pool(
        std::max<unsigned>(8, 2 * std::thread::hardware_concurrency()));
    return *pool;
}

} // namespace OrvexCore
