#pragma once

namespace Orvex {

/// Parses the command line, runs the chosen command and returns the process's exit status.
/// Failures are reported as one line on standard error; nothing throws out of here.
int runCommandLine(int argc, char** argv);

} // namespace Orvex
