#include "orvex/CommandLine.hpp"

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <sstream>

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "OrvexCore/OrvexCore.hpp"
#include "orvex/AttachKeys.hpp"
#include "orvex/CommandTree.hpp"
#include "orvex/Commands.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Runtime.hpp"

namespace Orvex {

namespace {

/// Lists each command with the first line of its description only; `orvex COMMAND --help`
/// shows the whole text.
class Formatter : public CLI::Formatter {
public:
    std::string make_subcommand(const CLI::App* sub) const override {
        std::string description = sub->get_description();
        description = description.substr(0, description.find('\n'));
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(true), description, column_width_);
        return out.str();
    }
};

const char* const sessionNaming =
    "SESSION is a session's slug, its title, or the start of its identifier (either case);\n"
    "these are tried in that order and the first kind that matches decides. A name that\n"
    "matches several sessions is an error that lists them: narrow it with -w WORKSPACE.\n";

const char* const workspaceNaming =
    "WORKSPACE is a workspace's display name, its repository path, or the start of its\n"
    "identifier, tried in that order.\n";

/// Every option and argument that names a session, with its optional narrowing.
void addSessionName(CLI::App* command, SessionName& target) {
    command->add_option("SESSION", target.name, "The session (slug, title or identifier prefix)")
        ->required();
    command->add_option_function<std::string>(
        "-w,--workspace", [&target](const std::string& v) { target.workspace = v; },
        "Look for SESSION only among this workspace's sessions");
}

void addOptionalString(CLI::App* command, const std::string& name,
                       std::optional<std::string>& target, const std::string& help) {
    command->add_option_function<std::string>(
        name, [&target](const std::string& v) { target = v; }, help);
}

std::string footer(const char* naming) {
    return std::string(naming == nullptr ? "" : naming) + "\n" + exitStatusHelp;
}

/// Edits needed to turn `a` into `b`: insertions, deletions, substitutions and swaps of two
/// neighbouring letters (the commonest slip, "nwe" for "new"), each counting one.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

/// The message for a command word that names no command, with the nearest command when one
/// is near enough to be a slip (a prefix, or at most a third of the letters wrong).
std::string unknownCommand(CLI::App& app, const std::string& word) {
    std::string best;
    std::size_t bestDistance = std::string::npos;
    for (CLI::App* sub : app.get_subcommands([](CLI::App* s) { return !s->get_group().empty(); })) {
        const std::string& name = sub->get_name();
        std::size_t distance = name.starts_with(word) ? 0 : editDistance(word, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    std::string message = fmt::format("'{}' is not an orvex command", word);
    if (!best.empty() && bestDistance <= std::max<std::size_t>(1, word.size() / 3)) {
        message += fmt::format("; did you mean '{}'?", best);
    }
    return message + " (see 'orvex help')";
}

/// The command called `name`, hidden ones included, or null.
CLI::App* findCommand(CLI::App& app, const std::string& name) {
    auto found = app.get_subcommands([&](CLI::App* s) { return s->check_name(name); });
    return found.empty() ? nullptr : found.front();
}

/// The word that names the command: the first argument that is neither a global option nor
/// its value. 0 when there is none.
int commandWordIndex(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view word = argv[i];
        if (word == "--color") {
            ++i;
        } else if (word == "--") {
            return i + 1 < argc ? i + 1 : 0;
        } else if (!word.starts_with("-")) {
            return i;
        }
    }
    return 0;
}

} // namespace

int runCommandLine(int argc, char** argv) {
    // A reader that goes away (orvex ls | head) ends the output, not the process.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{
        "orvex runs coding assistants side by side on one git repository, each in a session of\n"
        "its own (a branch, normally in its own git worktree, with a grid of terminals), and\n"
        "shows what each session changed so that it can be reviewed file by file.\n\n"
        "Quick start:\n"
        "  orvex open ~/src/project       register a repository as a workspace\n"
        "  orvex new -t 'fix the parser'   a session on a new branch in its own worktree\n"
        "  orvex run brave-fox             work in the session's terminals\n"
        "  orvex diff brave-fox            what it changed; orvex show brave-fox for the patch\n"
        "  orvex review brave-fox FILE     mark a file reviewed (until it changes again)\n"
        "  orvex rm brave-fox              remove the session, its worktree and its branch",
        "orvex"};
    app.formatter(std::make_shared<Formatter>());
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("orvex ") + OrvexCore::version);
    app.footer(
        std::string(
            "Workspaces and sessions are kept in $XDG_DATA_HOME/Orvex/store.json\n"
            "(default ~/.local/share); settings in $XDG_CONFIG_HOME/orvex/defaults.json\n"
            "(default ~/.config). New worktrees go under the sessionsRootPath setting\n"
            "(default ~/.orvex-sessions). Colour is used only on a terminal while NO_COLOR\n"
            "is unset or empty; long output goes through $PAGER (default \"less -R\").\n\n") +
        workspaceNaming + sessionNaming + "\n" + exitStatusHelp);

    RuntimeOptions runtimeOptions;
    std::string colorWhen = "auto";
    app.add_option("--color", colorWhen, "When to colour the output: auto, always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}))
        ->capture_default_str();
    bool noPager = false;
    app.add_flag("--no-pager", noPager, "Never page long output");

    std::vector<std::pair<CLI::App*, std::function<void(Runtime&)>>> actions;
    auto command = [&](const std::string& name, const std::string& help, const char* naming,
                       std::function<void(Runtime&)> action) {
        CLI::App* sub = app.add_subcommand(name, help + "\n");
        sub->footer(footer(naming));
        actions.emplace_back(sub, std::move(action));
        return sub;
    };

    // Workspaces.
    OpenArgs open;
    command("open",
            "Register a git repository as a workspace and select it.\n"
            "Worktrees the repository already has become sessions. A folder inside a repository\n"
            "registers the repository; opening one that is registered already just selects it.",
            nullptr, [&](Runtime& rt) { openCommand(rt, open); })
        ->add_option("PATH", open.path, "The repository's folder")
        ->required();

    InitArgs init;
    command("init",
            "Create a git repository and register it as a workspace.\n"
            "PATH is made if missing. A folder that is a repository already is opened as with\n"
            "'orvex open'.",
            nullptr, [&](Runtime& rt) { initCommand(rt, init); })
        ->add_option("PATH", init.path, "The folder")
        ->required();

    WorkspacesArgs workspaces;
    command("workspaces",
            "List the workspaces.\n"
            "The selected one is marked with '*'; then display name, colour, number of sessions,\n"
            "identifier and repository path.",
            nullptr, [&](Runtime& rt) { workspacesCommand(rt, workspaces); })
        ->add_flag("--json", workspaces.json, "Print JSON for scripts");

    RenameWorkspaceArgs renameWorkspace;
    {
        auto* sub =
            command("rename-workspace", "Change a workspace's display name.", workspaceNaming,
                    [&](Runtime& rt) { renameWorkspaceCommand(rt, renameWorkspace); });
        sub->add_option("WORKSPACE", renameWorkspace.workspace, "The workspace")->required();
        sub->add_option("NAME", renameWorkspace.name, "The new display name")->required();
    }

    ColorArgs color;
    {
        auto* sub = command("color",
                            "Show, set or clear a workspace's colour tag.\n"
                            "COLOR is a hex colour such as '#3366CC' (the '#' may be left out).",
                            workspaceNaming, [&](Runtime& rt) { colorCommand(rt, color); });
        sub->add_option("WORKSPACE", color.workspace, "The workspace")->required();
        auto* value = sub->add_option_function<std::string>(
            "COLOR", [&](const std::string& v) { color.color = v; }, "The new colour");
        sub->add_flag("--clear", color.clear, "Remove the colour tag")->excludes(value);
    }

    ForgetArgs forget;
    command("forget",
            "Remove a workspace and its sessions from orvex, touching nothing on disk.\n"
            "The repository, its worktrees and its branches stay as they are.",
            workspaceNaming, [&](Runtime& rt) { forgetCommand(rt, forget); })
        ->add_option("WORKSPACE", forget.workspace, "The workspace")
        ->required();

    // Sessions.
    LsArgs ls;
    {
        auto* sub = command(
            "ls",
            "List the workspaces and their sessions.\n"
            "Each session shows its slug, title, branch, last known status and worktree folder;\n"
            "sessions are numbered in their order within the workspace (the POSITION of\n"
            "'orvex move').",
            workspaceNaming, [&](Runtime& rt) { lsCommand(rt, ls); });
        addOptionalString(sub, "WORKSPACE", ls.workspace,
                          "Only this workspace (default: all of them)");
        sub->add_flag("--changes", ls.changes,
                      "Add each session's number of changed files against its base");
        sub->add_flag("--why", ls.why,
                      "Under each running session, its terminals with their status and why");
        sub->add_flag("--json", ls.json, "Print JSON for scripts");
    }

    WatchArgs watch;
    {
        auto* sub = command(
            "watch",
            "Watch every workspace, session and terminal live.\n"
            "A full-screen overview that follows the server's events: each session's status and,\n"
            "for running ones, each terminal's status and why. Sessions and terminals that need\n"
            "input are marked '!', those that rang the bell '*'. q quits.",
            nullptr, [&](Runtime& rt) { watchCommand(rt, watch); });
        sub->add_flag("--once", watch.once,
                      "Print one frame and exit (plain text when the output is no terminal)");
    }

    NewArgs created;
    {
        auto* sub = command(
            "new",
            "Create a session.\n"
            "With its own worktree (the default) it gets a new folder under the sessions root\n"
            "and a branch: BRANCH if given (an existing local branch, or one on origin, is\n"
            "checked out instead of created), else a generated name such as brave-fox. With\n"
            "--no-worktree it works in the repository's own checkout. Prints the new session\n"
            "and its folder.\n"
            "Grid size and command default to the settings newBranchRows, newBranchCols and\n"
            "newBranchCommand. Without -w, the selected workspace is meant.\n"
            "A repository may carry a file .orvex.json at its top: ignored files it names are\n"
            "copied from the main checkout into the new worktree, its setup command runs there\n"
            "(a failure keeps the session, marked as not set up), and its command is the\n"
            "terminals' default (after -c, before newBranchCommand).",
            workspaceNaming, [&](Runtime& rt) { newCommand(rt, created); });
        addOptionalString(sub, "-w,--workspace", created.workspace,
                          "The workspace (default: the selected one)");
        addOptionalString(sub, "-b,--branch", created.branch, "Branch name (and folder name)");
        addOptionalString(sub, "-t,--title", created.title, "Title (default: the branch name)");
        addOptionalString(sub, "-c,--command", created.command,
                          "Command the session's terminals start with (such as an assistant)");
        sub->add_flag("--no-worktree", created.noWorktree,
                      "Work in the repository's main checkout instead of a new worktree");
        sub->add_flag("--no-setup", created.noSetup,
                      "Skip the repository's .orvex.json (no files copied, no setup command)");
        sub->add_flag(
            "--run", created.run,
            "Start the session's terminals in the Orvex server at once (as 'orvex start')");
        sub->add_option_function<int>(
               "--rows", [&](const int& v) { created.rows = v; }, "Rows of terminals, 1 to 6")
            ->check(CLI::Range(1, 6));
        sub->add_option_function<int>(
               "--cols", [&](const int& v) { created.cols = v; }, "Terminals per row, 1 to 6")
            ->check(CLI::Range(1, 6));
    }

    RmArgs rm;
    {
        auto* sub = command(
            "rm",
            "Remove a session.\n"
            "A session with its own worktree loses its folder and its branch; this is refused\n"
            "while the worktree has uncommitted changes or the branch has commits no other\n"
            "branch holds, unless --force is given. A session in the main checkout is only\n"
            "forgotten.",
            sessionNaming, [&](Runtime& rt) { rmCommand(rt, rm); });
        addSessionName(sub, rm.session);
        sub->add_flag("-f,--force", rm.force,
                      "Remove even if uncommitted changes or unmerged commits are lost");
    }

    RenameArgs rename;
    {
        auto* sub = command("rename", "Change a session's title.", sessionNaming,
                            [&](Runtime& rt) { renameCommand(rt, rename); });
        addSessionName(sub, rename.session);
        sub->add_option("TITLE", rename.title, "The new title")->required();
    }

    BranchArgs branch;
    {
        auto* sub =
            command("branch", "Rename a session's branch (its slug, title and folder stay).",
                    sessionNaming, [&](Runtime& rt) { branchCommand(rt, branch); });
        addSessionName(sub, branch.session);
        sub->add_option("NEW-NAME", branch.name, "The new branch name")->required();
    }

    MoveArgs move;
    {
        auto* sub = command("move",
                            "Move a session to another place in its workspace's list.\n"
                            "1 is the first place, as numbered by 'orvex ls'.",
                            sessionNaming, [&](Runtime& rt) { moveCommand(rt, move); });
        addSessionName(sub, move.session);
        sub->add_option("POSITION", move.position, "The new place, from 1")->required();
    }

    // Review.
    DiffArgs diff;
    {
        auto* sub = command(
            "diff",
            "List the files a session changed against its base.\n"
            "Shows 'R' on files reviewed since their last change, each file's status (A added,\n"
            "M modified, D deleted, R renamed, B binary), lines added and removed, the totals,\n"
            "and the base used: the compare ref (orvex compare), else the commit the session\n"
            "started from, else the merge base of its branch and HEAD. Uncommitted changes\n"
            "count, and files git does not track are listed as added unless ignored.",
            sessionNaming, [&](Runtime& rt) { diffCommand(rt, diff); });
        addSessionName(sub, diff.session);
        sub->add_flag("--json", diff.json, "Print JSON for scripts");
    }

    ShowArgs show;
    {
        auto* sub = command(
            "show",
            "Show the patch of each changed file, or of the FILEs named.\n"
            "Old and new line numbers stand in a gutter; additions and deletions are coloured,\n"
            "and the changed words of each pair of deleted and added lines highlighted. Runs of\n"
            "unchanged lines longer than the threshold are folded behind a numbered marker;\n"
            "--expand opens one.",
            sessionNaming, [&](Runtime& rt) { showCommand(rt, show); });
        addSessionName(sub, show.session);
        sub->add_option("FILE", show.files, "Files to show, as 'orvex diff' lists them");
        sub->add_option("--context", show.context,
                        "Fold runs of more than N unchanged lines (at least 1)")
            ->check(CLI::Range(1, 1000000))
            ->capture_default_str();
        sub->add_option("--expand", show.expand, "Open the fold with this number (repeatable)")
            ->check(CLI::PositiveNumber);
    }

    ReviewArgs review;
    {
        auto* sub = command(
            "review",
            "Toggle the reviewed mark of each FILE.\n"
            "A mark holds only while the file's patch stays as it was when marked; after another\n"
            "change it lapses.",
            sessionNaming, [&](Runtime& rt) { reviewCommand(rt, review); });
        addSessionName(sub, review.session);
        sub->add_option("FILE", review.files,
                        "Files to mark or unmark, as 'orvex diff' lists them");
        sub->add_flag("--prune", review.prune,
                      "Drop the marks of files that are no longer changed");
    }

    CompareArgs compare;
    {
        auto* sub = command(
            "compare",
            "Show, set or clear the ref a session's changes are compared against.\n"
            "REF is a branch, a remote branch such as origin/main, or a commit. Setting or\n"
            "clearing it drops the session's reviewed marks.",
            sessionNaming, [&](Runtime& rt) { compareCommand(rt, compare); });
        addSessionName(sub, compare.session);
        auto* ref = sub->add_option_function<std::string>(
            "REF", [&](const std::string& v) { compare.ref = v; }, "The ref to compare against");
        sub->add_flag("--clear", compare.clear, "Compare against the session's own base again")
            ->excludes(ref);
    }

    RefsArgs refs;
    {
        auto* sub = command("refs",
                            "List the branches a session can be compared against.\n"
                            "Local and remote branches; the current compare ref is marked '*'.",
                            sessionNaming, [&](Runtime& rt) { refsCommand(rt, refs); });
        addSessionName(sub, refs.session);
        sub->add_flag("--json", refs.json, "Print JSON for scripts");
    }

    // Tools.
    EditArgs edit;
    {
        auto* sub = command("edit", "Open a session's folder in an external editor.", sessionNaming,
                            [&](Runtime& rt) { editCommand(rt, edit); });
        addSessionName(sub, edit.session);
        addOptionalString(sub, "--editor", edit.editor,
                          "vscode, cursor or xcode (default: the defaultEditor setting)");
    }

    SettingsArgs settings;
    {
        auto* sub = command(
            "settings",
            "List the settings, show one, or set one.\n"
            "Values are repaired as the settings always are (grid sizes clamped to 1 to 6, line\n"
            "breaks removed from the command, a sessions root outside the home folder replaced\n"
            "by the default); the value stored is printed. An unknown key or a value of the\n"
            "wrong type is an error.",
            nullptr, [&](Runtime& rt) { settingsCommand(rt, settings); });
        addOptionalString(sub, "KEY", settings.key, "The setting");
        addOptionalString(sub, "VALUE", settings.value, "Its new value");
        sub->add_flag("--json", settings.json, "Print JSON for scripts");
    }

    RunArgs run;
    {
        auto* sub = command(
            "run",
            "Work in a session's terminal grid.\n"
            "Attaches this terminal to the session's grid in the server, opening it if needed\n"
            "(each terminal starts in the session's folder with its command). One grid\n"
            "terminal is shown at a time; the bottom row lists every terminal's title and\n"
            "status, and marks hidden ones that rang the bell or wait for input. Detaching\n"
            "leaves every program running; attaching again shows each screen as it is. When\n"
            "several windows show one grid, the programs get the smallest window's size.\n\n" +
                AttachKeys::help(),
            sessionNaming, [&](Runtime& rt) { runCommand(rt, run); });
        addSessionName(sub, run.session);
    }

    // The server and the terminals it keeps.
    StartArgs start;
    {
        auto* sub = command("start",
                            "Start a session's terminal grid in the Orvex server.\n"
                            "Its programs run without anyone attached; 'orvex ls' shows their "
                            "status.",
                            sessionNaming, [&](Runtime& rt) { startCommand(rt, start); });
        addSessionName(sub, start.session);
    }
    StopArgs stop;
    {
        auto* sub = command("stop",
                            "Close a session's terminal grid in the Orvex server; its programs "
                            "end.",
                            sessionNaming, [&](Runtime& rt) { stopCommand(rt, stop); });
        addSessionName(sub, stop.session);
    }
    ServerArgs server;
    {
        auto* sub = command(
            "server",
            "Run, start, stop or ask about the Orvex server.\n"
            "One server per user keeps the workspaces, sessions, settings and every session's\n"
            "terminals; commands start it when it is not running. Its socket is in\n"
            "$XDG_RUNTIME_DIR/orvex (else /tmp/orvex-UID), its log beside store.json.",
            nullptr, [&](Runtime& rt) { serverCommand(rt, server); });
        sub->add_option("ACTION", server.action, "run (in the foreground), start, stop or status")
            ->required()
            ->check(CLI::IsMember({"run", "start", "stop", "status"}));
    }
    WebArgs web;
    {
        auto* sub = command("web",
                            "Print the address of the workbench page the Orvex server serves, "
                            "and open it.\n"
                            "The address carries a secret token: anyone with it reaches your\n"
                            "terminals. The page is served on the loopback interface only, at\n"
                            "the port of the webPort setting (0: any free port).",
                            nullptr, [&](Runtime& rt) { webCommand(rt, web); });
        sub->add_flag("--no-open", web.noOpen, "Only print the address");
    }

    // Session lifecycle.
    FinishArgs finish;
    {
        auto* sub = command(
            "finish",
            "Bring a session's work onto its base branch.\n"
            "The base is the branch the main checkout is on, or --into BRANCH; it must be checked\n"
            "out somewhere, and the work is brought there: merged (the default), rebased and\n"
            "fast-forwarded, or squashed into one commit titled after the session. Refused while\n"
            "the session's worktree has uncommitted changes or the base's checkout has changes to\n"
            "tracked files. When git stops on a conflict the files are named, the operation is\n"
            "aborted and everything is left as it was. --push pushes the session's branch;\n"
            "--pr pushes it and opens a pull request (with gh when it is installed and logged in,\n"
            "else by printing the host's page for it) instead of bringing the work home here.",
            sessionNaming, [&](Runtime& rt) { finishCommand(rt, finish); });
        addSessionName(sub, finish.session);
        auto* merge = sub->add_flag("--merge", finish.merge, "Merge the branch (the default)");
        auto* rebase = sub->add_flag("--rebase", finish.rebase,
                                     "Rebase the branch onto the base, then fast-forward the base");
        auto* squash =
            sub->add_flag("--squash", finish.squash, "Bring the changes as one new commit");
        merge->excludes(rebase)->excludes(squash);
        rebase->excludes(squash);
        addOptionalString(sub, "--into", finish.into,
                          "The branch to bring the work onto (default: the main checkout's)");
        sub->add_flag("--push", finish.push, "Push the session's branch to its remote");
        sub->add_flag("--pr", finish.pullRequest, "Push and open a pull request instead");
        sub->add_flag("--remove", finish.remove,
                      "Remove the session afterwards, as 'orvex rm' would (never losing work)");
        sub->add_flag("-n,--dry-run", finish.dryRun, "Print the plan and change nothing");
    }

    PruneArgs prune;
    {
        auto* sub = command(
            "prune",
            "List, and with --yes remove, what sessions left behind.\n"
            "Sessions whose worktree folder is gone; worktrees under the sessions root that no\n"
            "session owns (with their size on disk); branches orvex made for sessions that no\n"
            "longer exist; git's records of worktrees whose folder is gone. Anything holding\n"
            "uncommitted changes or unmerged commits is kept unless --force is given too.",
            nullptr, [&](Runtime& rt) { pruneCommand(rt, prune); });
        sub->add_flag("-y,--yes", prune.yes, "Remove what was found");
        sub->add_flag("-f,--force", prune.force,
                      "With --yes, remove also what holds uncommitted or unmerged work");
    }

    // Shell integration: both read the command tree itself, so they never drift from it.
    CompletionArgs completion;
    {
        auto* sub =
            command("completion",
                    "Print shell completion for bash, zsh or fish.\n"
                    "Completes commands, options, and workspace and session names. For example:\n"
                    "  orvex completion bash > ~/.local/share/bash-completion/completions/orvex\n"
                    "'make install' installs all three.",
                    nullptr, [&](Runtime& rt) {
                        rt.out().text += completionScript(describeCommands(app), completion.shell);
                    });
        sub->add_option("SHELL", completion.shell, "bash, zsh or fish")->required();
    }
    command("manpage", "Print the manual page orvex(1) in roff ('make install' installs it).",
            nullptr, [&](Runtime& rt) { rt.out().text += manualPage(describeCommands(app)); });
    std::string names;
    {
        auto* sub = command("__complete", "Names for shell completion.", nullptr,
                            [&](Runtime& rt) { completeNamesCommand(rt, names); });
        sub->group("");
        sub->add_option("WHAT", names)->required();
    }

    // "help" and words that name no command are answered here: the parser would only say
    // that a command is required.
    if (int index = commandWordIndex(argc, argv); index > 0) {
        std::string word = argv[index];
        if (word == "help") {
            if (index + 1 >= argc) {
                std::fputs(app.help().c_str(), stdout);
                return 0;
            }
            std::string topic = argv[index + 1];
            CLI::App* sub = findCommand(app, topic);
            if (sub == nullptr || sub->get_group().empty()) {
                std::fputs(("orvex: " + unknownCommand(app, topic) + "\n").c_str(), stderr);
                return static_cast<int>(ExitStatus::usage);
            }
            std::fputs(sub->help().c_str(), stdout);
            return 0;
        }
        if (findCommand(app, word) == nullptr) {
            std::fputs(("orvex: " + unknownCommand(app, word) + "\n").c_str(), stderr);
            return static_cast<int>(ExitStatus::usage);
        }
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        std::fputs(fmt::format("orvex: {} (see 'orvex --help')\n", message).c_str(), stderr);
        return static_cast<int>(ExitStatus::usage);
    }

    runtimeOptions.color = colorWhen == "always"  ? ColorMode::always
                           : colorWhen == "never" ? ColorMode::never
                                                  : ColorMode::automatic;
    runtimeOptions.pager = !noPager;

    ExitStatus status = ExitStatus::success;
    std::string message;
    {
        Runtime rt(runtimeOptions);
        try {
            for (auto& [sub, action] : actions) {
                if (sub->parsed()) {
                    action(rt);
                }
            }
        } catch (...) {
            auto report = describe(std::current_exception());
            status = report.status;
            message = report.message;
        }
        try {
            rt.finish();
        } catch (...) {
            if (status == ExitStatus::success) {
                auto report = describe(std::current_exception());
                status = report.status;
                message = "could not save: " + report.message;
            }
        }
        if (status == ExitStatus::success) {
            rt.out().pageable = rt.out().pageable && runtimeOptions.pager;
            rt.out().emit();
        }
    }
    if (status != ExitStatus::success) {
        std::string line = "orvex: " + message + "\n";
        writeAll(STDERR_FILENO, line);
    }
    return static_cast<int>(status);
}

} // namespace Orvex
