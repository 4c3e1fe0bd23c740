#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace OrvexCore {
class GitService;
}

/// The diff helper program's request handling, kept in the library so that it can be run
/// in-process (tests) as well as by the `OrvexDiffHelper` executable, whose read loop feeds it
/// one line at a time.
namespace OrvexCore::OrvexDiffHelper {

/// What the read loop does with one request line.
struct Reply {
    /// The response line to write, with its line feed; empty when nothing is to be written.
    std::string bytes;
    /// True for a shutdown request: the process ends with status 0 and writes nothing.
    bool endProcess = false;

    friend bool operator==(const Reply&, const Reply&) = default;
};

/// Handles one request `line` (without its line feed) by running the git operation it asks
/// for on `git`. Every line that is not a shutdown gets exactly one response: an undecodable
/// line or a failing git call gives `ok` false without an id and an "error" that says what
/// went wrong (for git, what git said); a request missing a field it needs gives `ok` false
/// with its id. Never throws. Blocks while git runs; call it from one thread per `git`
/// caller as the service allows (any thread).
Reply handle(std::string_view line, GitService& git) noexcept;

/// Takes the bytes of a response as they are produced; returns false when they could not be
/// written.
using Sink = std::function<bool(std::string_view)>;

/// What became of one request handled by the streaming `handle`.
enum class Outcome {
    answered,   ///< the response (if any) went to the sink whole
    endProcess, ///< a shutdown request: nothing was written
    sinkFailed, ///< the sink refused bytes; the response may be cut short
};

/// `handle` writing the response to `sink` instead of returning it. A list answer goes out
/// in pieces of a few KB as it is encoded from git's output, so that no listing, however
/// long, is held whole as JSON; other answers go out in one piece.
Outcome handle(std::string_view line, GitService& git, const Sink& sink) noexcept;

} // namespace OrvexCore::OrvexDiffHelper
