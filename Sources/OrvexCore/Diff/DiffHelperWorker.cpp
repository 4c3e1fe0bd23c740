#include "OrvexCore/Diff/DiffHelperWorker.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <utility>

#include <boost/asio/post.hpp>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Util/Async.hpp"

namespace OrvexCore {
namespace {

using Platform::ChildProcess;
using Platform::SpawnOptions;
using Platform::Stdio;

/// The least a read of an answer asks for when the pipe holds less (or nothing yet).
constexpr int minimumRead = 64 * 1024;

/// How long a helper that was asked to stop gets to end by itself before it is killed.
constexpr int stopGraceMilliseconds = 2000;

/// Waits (on a background thread) for `process` to end, then lets its destructor reap it,
/// killing it first if it is still running after the grace period.
void reapInBackground(ChildProcess process) {
    if (process.pid() <= 0) {
        return;
    }
    boost::asio::post(backgroundPool(), [process = std::move(process)]() mutable {
        if (!process.isRunning()) {
            return;
        }
        // Called through syscall(): this C library's header lacks C linkage for C++.
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, process.pid(), 0));
        if (pidfd >= 0) {
            pollfd ended{pidfd, POLLIN, 0};
            while (::poll(&ended, 1, stopGraceMilliseconds) < 0 && errno == EINTR) {
            }
            ::close(pidfd);
        }
        // The destructor kills a helper that is still running and reaps it.
    });
}

} // namespace

DiffHelperWorker::DiffHelperWorker(const std::filesystem::path& helperURL)
    : process_(ChildProcess::spawn(helperURL.string(), {},
                                   SpawnOptions{Stdio::pipe, Stdio::pipe, Stdio::null, {}, {}})) {}

DiffHelperWorker::~DiffHelperWorker() {
    process_.closeInput();
    process_.closeOutput();
    reapInBackground(std::move(process_));
}

std::string DiffHelperWorker::roundTrip(std::string_view line) {
    if (!isRunning() || !process_.writeInput(line)) {
        throw DiffHelperClient::ClientError::crashed();
    }
    // Only whole lines leave the buffer, so a partial answer left by an earlier read stays for
    // the next round trip.
    size_t scanned = 0;
    for (;;) {
        auto end = buffer_.find('\n', scanned);
        if (end != std::string::npos) {
            if (end + 1 == buffer_.size()) {
                // The usual case, one answer and nothing after it: hand over the buffer
                // rather than copy a patch of several hundred KB out of it.
                buffer_.pop_back();
                return std::exchange(buffer_, {});
            }
            std::string answer = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return answer;
        }
        scanned = buffer_.size();
        // Read straight into the buffer, all that the pipe holds at once: a patch answer
        // written in one piece arrives in one read, without a copy through a smaller chunk.
        int waiting = 0;
        if (::ioctl(process_.outputFd(), FIONREAD, &waiting) != 0 || waiting < minimumRead) {
            waiting = minimumRead;
        }
        buffer_.resize(scanned + static_cast<size_t>(waiting));
        ssize_t n =
            ::read(process_.outputFd(), buffer_.data() + scanned, static_cast<size_t>(waiting));
        buffer_.resize(scanned + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw DiffHelperClient::ClientError::crashed();
        }
    }
}

void DiffHelperWorker::shutdown() noexcept {
    if (!isRunning()) {
        return;
    }
    try {
        DiffHelperRequest request{"shutdown", DiffHelperOp::shutdown, {}, {}, {}};
        process_.writeInput(request.encodedLine());
    } catch (...) {
    }
    process_.closeInput();
    process_.sendSignal(SIGTERM);
}

bool DiffHelperWorker::isRunning() {
    return process_.isRunning();
}

} // namespace OrvexCore
