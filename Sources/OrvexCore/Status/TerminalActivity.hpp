#pragma once

namespace OrvexCore {

/// What the program in one terminal is doing, as far as its output and timing tell.
enum class TerminalActivity {
    /// It produced output recently, or a command is still within its run time.
    working,
    /// Nothing is known, the command has ended, or the output is quiet and asks nothing.
    idle,
    /// The output is quiet and its last line asks for input.
    needsInput,
};

} // namespace OrvexCore
