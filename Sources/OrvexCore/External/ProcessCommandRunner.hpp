#pragma once

#include "OrvexCore/External/CommandRunner.hpp"

namespace OrvexCore {

/// Runs real child processes, limited to programs in the system binary folders
/// "/usr/bin/", "/usr/local/bin/", "/opt/homebrew/bin/" and "/bin/". Holds no state: any
/// number of calls may run at once from any threads.
class ProcessCommandRunner final : public CommandRunner {
public:
    ProcessCommandRunner() = default;

    /// Standardises `executable` (made absolute against the current folder, "." and ".."
    /// removed) and refuses it with `CommandError{executable, -1}` before starting anything
    /// unless it lies in an allowed folder. Otherwise runs it with null input, its output and
    /// error drained and thrown away, and blocks until it has exited and both streams closed.
    /// Returns 0 for status 0; throws `CommandError{executable, status}` for any other status
    /// (a signal that ended it counts as its number) and std::system_error, unchanged, when the
    /// program cannot be launched.
    std::int32_t run(const std::string& executable,
                     const std::vector<std::string>& arguments) override;
};

} // namespace OrvexCore
