#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace Orvex {

/// What a value on the command line names, for completion.
enum class ValueKind { none, session, workspace, file, word };

/// One option or positional argument of a command.
struct OptionInfo {
    std::vector<std::string> longNames;  ///< without "--"
    std::vector<std::string> shortNames; ///< without "-"
    std::string valueName;               ///< "SESSION" for a positional; empty for a flag
    bool takesValue = false;
    bool positional = false;
    std::string help;
    ValueKind kind = ValueKind::none;
    std::vector<std::string> words; ///< the choices when `kind` is `word`
};

/// One command: its name, its description (first line: the summary) and its options.
struct CommandInfo {
    std::string name;
    std::string description;
    std::vector<OptionInfo> options;
    std::string footer;
};

/// The whole visible command tree; hidden commands are left out.
struct CommandTree {
    std::string name;
    std::string description;
    std::string footer;
    std::vector<OptionInfo> options;
    std::vector<CommandInfo> commands;
};

/// Reads the tree from the parser, so that completion and the manual page never drift from
/// what `orvex` accepts.
CommandTree describeCommands(CLI::App& app);

/// The completion script for `shell` ("bash", "zsh" or "fish"). Workspace and session names
/// are asked of `orvex __complete workspaces|sessions` when completing. Throws CliFailure
/// (usage) for another shell.
std::string completionScript(const CommandTree& tree, std::string_view shell);

/// The manual page, orvex(1), in roff.
std::string manualPage(const CommandTree& tree);

} // namespace Orvex
