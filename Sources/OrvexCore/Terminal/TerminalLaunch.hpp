#pragma once

#include <optional>
#include <string>

namespace OrvexCore::TerminalLaunch {

/// What an engine starts for a terminal and what it types into it once it runs.
struct Plan {
    /// The program to start: always the shell.
    std::string program;
    /// Text to type once the program runs; none means type nothing.
    std::optional<std::string> initialInput;

    friend bool operator==(const Plan&, const Plan&) = default;
};

/// The plan for `userCommand` in `shell`: the shell itself, typing the command trimmed of
/// white space and line breaks at both ends followed by one line feed; nothing to type when
/// there is no command or nothing is left after trimming. Pure; any thread.
Plan resolve(std::optional<std::string> userCommand, std::string shell);

} // namespace OrvexCore::TerminalLaunch
