#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace OrvexCore {

/// Thrown by a `CommandRunner` when a program is refused or ends with a non-zero status.
/// `executable` is exactly what the caller passed; `exitCode` is the child's termination
/// status, or -1 when the program was refused before anything was started. Output is never
/// kept, so the error holds no message of the program's.
struct CommandError : std::exception {
    std::string executable;
    std::int32_t exitCode = 0;

    CommandError(std::string executable, std::int32_t exitCode);

    /// Says which program and how it failed (refused, or its status), built from the fields.
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const CommandError& a, const CommandError& b) {
        return a.executable == b.executable && a.exitCode == b.exitCode;
    }

private:
    std::string description_;
};

} // namespace OrvexCore
