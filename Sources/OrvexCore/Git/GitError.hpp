#pragma once

#include <exception>
#include <string>

namespace OrvexCore {

/// Thrown by every git operation: for a failed run, the command ("git " + its arguments),
/// git's exit status and its message (standard error, else standard output, as captured);
/// for a rejected name, the name's label ("ref", "branch" or "remote"), -1 and
/// "Invalid ref name: " + the name.
struct GitError : std::exception {
    std::string command;
    int exitCode = 0;
    std::string message;

    GitError(std::string command, int exitCode, std::string message);

    /// Says the command, the exit status and git's message.
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const GitError& a, const GitError& b) {
        return a.command == b.command && a.exitCode == b.exitCode && a.message == b.message;
    }

private:
    std::string description_;
};

} // namespace OrvexCore
