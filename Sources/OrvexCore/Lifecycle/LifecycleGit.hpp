#pragma once

#include <string>
#include <vector>

#include "OrvexCore/Platform/Process.hpp"

/// git as the session lifecycle runs it: through "/usr/bin/env git", blocking, output kept.
/// Background threads only.
namespace OrvexCore::LifecycleGit {

/// Runs git with `arguments` in `directory` ("-C" is added); returns its standard output.
/// Throws GitError (the command as run, the status, git's standard error) when git fails.
std::string run(const std::string& directory, const std::vector<std::string>& arguments);

/// Runs git and returns whatever it left, failing or not.
Platform::CapturedOutput attempt(const std::string& directory,
                                 const std::vector<std::string>& arguments);

/// The command line as it ran, each word that needs it in single quotes, for messages.
std::string commandLine(const std::string& directory, const std::vector<std::string>& arguments);

/// Splits NUL-separated output (git's "-z") into its non-empty fields.
std::vector<std::string> nulFields(const std::string& output);

} // namespace OrvexCore::LifecycleGit
