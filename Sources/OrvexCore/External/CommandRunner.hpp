#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace OrvexCore {

/// Starts an external program and reports whether it succeeded. The seam through which the
/// editor launcher starts programs; tests substitute a recording fake.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;

    /// Runs `executable` (an absolute path) with `arguments` passed as they are, without a
    /// shell, and blocks until it has exited. Returns 0 on success; throws `CommandError` when
    /// the program is refused or exits with a non-zero status, or the platform's launch error.
    virtual std::int32_t run(const std::string& executable,
                             const std::vector<std::string>& arguments) = 0;
};

} // namespace OrvexCore
