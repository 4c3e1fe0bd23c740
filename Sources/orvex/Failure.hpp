#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace Orvex {

/// The exit statuses of `orvex`, documented in `orvex --help`.
enum class ExitStatus : int {
    success = 0,
    failure = 1,   ///< an operation failed: git, the diff helper, the file system, an editor
    usage = 2,     ///< bad arguments, unknown setting, value of the wrong type
    notFound = 3,  ///< unknown workspace, session or file
    ambiguous = 4, ///< a name that matches more than one workspace or session
    refused = 5,   ///< refused because it would lose work (uncommitted or unmerged changes)
    interrupted = 130,
};

/// The text of the exit statuses, for help footers.
extern const char* const exitStatusHelp;

/// A failure the front end words itself: one line for standard error and an exit status.
struct CliFailure : std::runtime_error {
    ExitStatus status;
    CliFailure(ExitStatus status, const std::string& message)
        : std::runtime_error(message), status(status) {}
};

/// One line (without "orvex: " and without a line feed) describing `error`, and the exit
/// status it maps to. Knows the core's error types; anything else is a plain failure.
struct FailureReport {
    ExitStatus status;
    std::string message;
};
FailureReport describe(std::exception_ptr error);

/// The first non-empty line of `text`, trimmed (git messages often span several lines).
std::string firstLine(const std::string& text);

} // namespace Orvex
