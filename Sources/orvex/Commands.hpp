#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Orvex {

class Runtime;

/// A session as the user named it, optionally only among one workspace's sessions.
struct SessionName {
    std::string name;
    std::optional<std::string> workspace;
};

struct OpenArgs {
    std::string path;
};
struct InitArgs {
    std::string path;
};
struct WorkspacesArgs {
    bool json = false;
};
struct RenameWorkspaceArgs {
    std::string workspace;
    std::string name;
};
struct ColorArgs {
    std::string workspace;
    std::optional<std::string> color;
    bool clear = false;
};
struct ForgetArgs {
    std::string workspace;
};
struct LsArgs {
    std::optional<std::string> workspace;
    bool changes = false;
    bool why = false;
    bool json = false;
};
struct WatchArgs {
    bool once = false;
};
struct NewArgs {
    std::optional<std::string> workspace;
    std::optional<std::string> branch;
    std::optional<std::string> title;
    std::optional<std::string> command;
    bool noWorktree = false;
    bool noSetup = false;
    bool run = false;
    std::optional<int> rows;
    std::optional<int> cols;
};
struct RmArgs {
    SessionName session;
    bool force = false;
};
struct RenameArgs {
    SessionName session;
    std::string title;
};
struct BranchArgs {
    SessionName session;
    std::string name;
};
struct MoveArgs {
    SessionName session;
    int position = 1;
};
struct DiffArgs {
    SessionName session;
    bool json = false;
};
struct ShowArgs {
    SessionName session;
    std::vector<std::string> files;
    int context = 8;
    std::vector<int> expand;
};
struct ReviewArgs {
    SessionName session;
    std::vector<std::string> files;
    bool prune = false;
};
struct CompareArgs {
    SessionName session;
    std::optional<std::string> ref;
    bool clear = false;
};
struct RefsArgs {
    SessionName session;
    bool json = false;
};
struct EditArgs {
    SessionName session;
    std::optional<std::string> editor;
};
struct SettingsArgs {
    std::optional<std::string> key;
    std::optional<std::string> value;
    bool json = false;
};
struct RunArgs {
    SessionName session;
};
struct ServerArgs {
    std::string action; ///< "run", "start", "stop" or "status"
};
struct WebArgs {
    bool noOpen = false;
};
struct StartArgs {
    SessionName session;
};
struct StopArgs {
    SessionName session;
};
struct FinishArgs {
    SessionName session;
    bool merge = false;
    bool rebase = false;
    bool squash = false;
    std::optional<std::string> into;
    bool push = false;
    bool pullRequest = false;
    bool remove = false;
    bool dryRun = false;
};
struct PruneArgs {
    bool yes = false;
    bool force = false;
};
struct CompletionArgs {
    std::string shell;
};

// Workspaces (WorkspaceCommands.cpp).
void openCommand(Runtime& rt, const OpenArgs& args);
void initCommand(Runtime& rt, const InitArgs& args);
void workspacesCommand(Runtime& rt, const WorkspacesArgs& args);
void renameWorkspaceCommand(Runtime& rt, const RenameWorkspaceArgs& args);
void colorCommand(Runtime& rt, const ColorArgs& args);
void forgetCommand(Runtime& rt, const ForgetArgs& args);

// Sessions (SessionCommands.cpp, ListCommand.cpp).
void lsCommand(Runtime& rt, const LsArgs& args);
void watchCommand(Runtime& rt, const WatchArgs& args);
void newCommand(Runtime& rt, const NewArgs& args);
void rmCommand(Runtime& rt, const RmArgs& args);
void renameCommand(Runtime& rt, const RenameArgs& args);
void branchCommand(Runtime& rt, const BranchArgs& args);
void moveCommand(Runtime& rt, const MoveArgs& args);

// Review (DiffCommands.cpp, ShowCommand.cpp).
void diffCommand(Runtime& rt, const DiffArgs& args);
void showCommand(Runtime& rt, const ShowArgs& args);
void reviewCommand(Runtime& rt, const ReviewArgs& args);
void compareCommand(Runtime& rt, const CompareArgs& args);
void refsCommand(Runtime& rt, const RefsArgs& args);

// Settings and tools (SettingsCommands.cpp, RunCommand.cpp).
void editCommand(Runtime& rt, const EditArgs& args);
void settingsCommand(Runtime& rt, const SettingsArgs& args);
void runCommand(Runtime& rt, const RunArgs& args);

// The server and the terminals it keeps (ServerCommands.cpp).
void serverCommand(Runtime& rt, const ServerArgs& args);
// The web page the server serves (WebCommand.cpp).
void webCommand(Runtime& rt, const WebArgs& args);
void startCommand(Runtime& rt, const StartArgs& args);
void stopCommand(Runtime& rt, const StopArgs& args);
// A session's end and what it leaves behind (FinishCommand.cpp, PruneCommand.cpp).
void finishCommand(Runtime& rt, const FinishArgs& args);
void pruneCommand(Runtime& rt, const PruneArgs& args);
/// Prints the names `orvex __complete` is asked for ("sessions" or "workspaces"), one a line.
void completeNamesCommand(Runtime& rt, const std::string& what);

} // namespace Orvex
