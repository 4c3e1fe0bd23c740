#pragma once

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

} // namespace OrvexCore::OrvexDiffHelper
