#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "OrvexCore/Platform/Process.hpp"

namespace OrvexCore {

/// One running helper process of a `DiffHelperClient`'s pool, with its input and output
/// pipes and the output bytes read past the last answer. Its standard error goes to the null
/// device; it inherits the application's environment and working directory. Its pipes are
/// close-on-exec, so no other child holds them: closing the input really ends the helper.
///
/// Used by one owner at a time (the client's strand, or the background task running a round
/// trip, never both). When it goes, its pipes are closed and its process is reaped on the
/// background pool (killed if it has not ended shortly after), so no zombie remains.
class DiffHelperWorker {
public:
    /// Starts the helper at `helperURL` with no arguments. Throws std::system_error when it
    /// cannot be launched.
    explicit DiffHelperWorker(const std::filesystem::path& helperURL);
    ~DiffHelperWorker();
    DiffHelperWorker(const DiffHelperWorker&) = delete;
    DiffHelperWorker& operator=(const DiffHelperWorker&) = delete;

    /// Writes one encoded request line and returns the next answer line without its line
    /// feed. Blocks until the helper answers: run it on a background thread. Throws
    /// `DiffHelperClient::ClientError::crashed()` when the helper is not running, its input
    /// is closed or its output ends before a whole line.
    std::string roundTrip(std::string_view line);

    /// If the helper still runs: writes the shutdown request, closes its input and sends it
    /// the termination signal. Failures are ignored and nothing is awaited.
    void shutdown() noexcept;

    /// False once the helper has ended (it is then reaped).
    bool isRunning();

    pid_t pid() const { return process_.pid(); }

private:
    Platform::ChildProcess process_;
    std::string buffer_;
};

} // namespace OrvexCore
