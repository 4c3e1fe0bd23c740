#include <algorithm>
#include <set>

#include <unistd.h>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Lifecycle/Leftovers.hpp"
#include "OrvexCore/Lifecycle/RepoConfig.hpp"
#include "OrvexCore/Lifecycle/WorktreeSetup.hpp"
#include "OrvexCore/Models/DecodingError.hpp"
#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Progress.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::Workspace;

namespace {

/// What removing a worktree session would throw away.
struct AtRisk {
    bool uncommitted = false;
    int unmergedCommits = 0;
    /// Commits made on a detached HEAD in the worktree, which no branch holds.
    int detachedCommits = 0;
};

boost::asio::awaitable<AtRisk> workAtRisk(std::string repoPath, Session session) {
    // A named closure: g++ 12 destroys a lambda written inside a co_await expression twice.
    auto work = [repoPath, session] {
        OrvexCore::GitCLIService git;
        AtRisk risk;
        risk.uncommitted = git.hasUncommittedChanges(session.worktreePath);
        try {
            risk.unmergedCommits = git.unmergedCommitCount(repoPath, session.branch);
        } catch (const OrvexCore::GitError&) {
            // A branch git cannot count (already gone) holds nothing to lose.
            risk.unmergedCommits = 0;
        }
        try {
            risk.detachedCommits = git.detachedCommitCount(session.worktreePath);
        } catch (const OrvexCore::GitError&) {
            risk.detachedCommits = 0; // the core checks again and refuses if it can tell
        }
        return risk;
    };
    co_return co_await OrvexCore::inBackground(std::move(work));
}

/// Applies the repository's file to a new worktree: copies the ignored files it names and
/// runs its setup command, whose output is shown as it comes. A failed setup keeps the
/// session, marks it as not set up and fails the command after its report is out.
void setUpSession(Runtime& rt, const Workspace& workspace, const Session& session,
                  const OrvexCore::RepoConfig& config) {
    auto& out = rt.out().text;
    std::string repo = workspace.repoPath;
    std::string worktree = session.worktreePath;
    if (!config.copy.empty()) {
        Progress progress("copying ignored files");
        auto patterns = config.copy;
        auto files = rt.run(OrvexCore::inBackground([repo, patterns] {
            return OrvexCore::WorktreeSetup::matchingIgnoredFiles(repo, patterns);
        }));
        using Kind = OrvexCore::WorktreeSetup::CopyOutcome::Kind;
        std::size_t copied = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            progress.count(i + 1, files.size());
            auto outcome = OrvexCore::WorktreeSetup::copyFile(repo, worktree, files[i]);
            switch (outcome.kind) {
            case Kind::copied:
            case Kind::linked:
                ++copied;
                break;
            case Kind::existed:
                out +=
                    fmt::format("  not copied: {} (the worktree has it already)\n", outcome.path);
                break;
            case Kind::refused:
                out += fmt::format("  refused to copy {}: {}\n", outcome.path, outcome.detail);
                break;
            case Kind::failed:
                out += fmt::format("  could not copy {}: {}\n", outcome.path, outcome.detail);
                break;
            }
        }
        out +=
            fmt::format("  copied:  {} from the main checkout\n",
                        counted(static_cast<long long>(copied), "ignored file", "ignored files"));
    }
    if (!config.setup) {
        return;
    }
    std::string setup = *config.setup;
    // The setup's own output goes to standard error as it comes: standard output carries the
    // session's report, which is printed once the state is saved.
    writeAll(STDERR_FILENO, fmt::format("orvex: setting up {}: {}\n", session.slug, setup));
    int status = rt.run(OrvexCore::inBackground([worktree, setup] {
        return OrvexCore::WorktreeSetup::runSetupCommand(
            worktree, setup, [](std::string_view bytes) { writeAll(STDERR_FILENO, bytes); });
    }));
    if (status == 0) {
        out += fmt::format("  setup:   {} succeeded\n", setup);
        return;
    }
    std::string reason =
        fmt::format("the setup command `{}` failed with exit status {}", setup, status);
    OrvexCore::WorktreeSetup::markNotSetUp(worktree, reason);
    out += fmt::format("  setup:   FAILED, the session is kept but not set up\n");
    rt.out().emit();
    throw CliFailure(ExitStatus::failure,
                     fmt::format("session {} is not set up: {}", session.slug, reason));
}

} // namespace

void newCommand(Runtime& rt, const NewArgs& args) {
    auto& settings = rt.settings();
    Workspace workspace = findWorkspace(rt, args.workspace);
    int rows = args.rows.value_or(settings.newBranchRows());
    int cols = args.cols.value_or(settings.newBranchCols());
    // The repository's file is read before anything is made, so that a broken file stops
    // the command instead of leaving half a session.
    std::optional<OrvexCore::RepoConfig> config;
    if (!args.noWorktree && !args.noSetup) {
        try {
            config = OrvexCore::RepoConfig::load(workspace.repoPath);
        } catch (const OrvexCore::DecodingError& e) {
            throw CliFailure(ExitStatus::failure,
                             std::string(e.what()) + " (fix the file, or skip it with --no-setup)");
        }
    }
    std::optional<std::string> command = args.command;
    if (!command && config && config->command) {
        command = config->command;
    }
    if (!command && !OrvexCore::Text::trimmed(settings.newBranchCommand()).empty()) {
        command = settings.newBranchCommand();
    }
    if (args.title) {
        requireNonBlank(*args.title, "a session's title");
    }
    if (args.branch) {
        requireNonBlank(*args.branch, "a branch name");
    }
    if (args.noWorktree && args.branch) {
        throw CliFailure(ExitStatus::usage,
                         "--branch cannot be used with --no-worktree: a session in the main "
                         "checkout works on the branch checked out there");
    }
    bool branchExisted = false;
    if (args.branch && !args.noWorktree) {
        std::string name(OrvexCore::Text::trimmed(*args.branch));
        OrvexCore::GitCLIService git;
        branchExisted = git.localBranchExists(workspace.repoPath, name) ||
                        git.remoteBranchExists(workspace.repoPath, "origin/" + name);
    }
    auto& state = rt.state();
    // An interrupt while git makes the worktree (Ctrl-C reaches git too) must not end the
    // process before the creation has ended: a failed attempt undoes the branch it made, a
    // finished one is recorded, and only then does the stop save and exit.
    struct Creation {
        explicit Creation(boost::asio::io_context& io)
            : ended(io, boost::asio::steady_timer::time_point::max()) {}
        boost::asio::steady_timer ended;
        bool done = false;
    };
    auto creation = std::make_shared<Creation>(rt.io());
    rt.setInterruptHook([creation]() -> boost::asio::awaitable<void> {
        if (!creation->done) {
            boost::system::error_code ignored;
            co_await creation->ended.async_wait(
                boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
        }
    });
    auto endCreation = [&rt, creation] {
        creation->done = true;
        creation->ended.cancel();
        rt.setInterruptHook(nullptr);
    };
    Progress progress("creating the session's worktree");
    Session session;
    try {
        session = rt.run(state.addBranch(workspace.id, args.title, args.branch, !args.noWorktree,
                                         rows, cols, command));
    } catch (...) {
        endCreation();
        throw;
    }
    endCreation();
    progress.clear();
    if (session.isWorktree && !branchExisted) {
        // Remembered so that `orvex prune` can tell the branches it made from the user's own.
        OrvexCore::Leftovers::markSessionBranch(workspace.repoPath, session.branch,
                                                session.id.string());
    }
    const Style& style = rt.style();
    auto& out = rt.out().text;
    out +=
        fmt::format("created session {} in {}\n", style.bold(session.slug), workspace.displayName);
    out += fmt::format("  title:   {}\n", session.title);
    out += fmt::format("  branch:  {}\n", session.branch);
    out += fmt::format("  folder:  {}{}\n", session.worktreePath,
                       session.isWorktree ? "" : " (the main checkout)");
    out += fmt::format("  grid:    {} x {}{}\n", session.gridRows, session.gridCols,
                       session.initialCommand ? ", running " + *session.initialCommand : "");
    if (config && session.isWorktree) {
        setUpSession(rt, workspace, session, *config);
    }
    if (args.run) {
        // After the setup, so that the programs start in a worktree that is ready.
        auto terminals = rt.state().openGrid(session.id);
        out +=
            fmt::format("  started: {} in the Orvex server\n",
                        counted(static_cast<long long>(terminals.size()), "terminal", "terminals"));
    }
}

void rmCommand(Runtime& rt, const RmArgs& args) {
    Session session = findSession(rt, args.session);
    Workspace workspace = workspaceOf(rt, session);
    if (session.isWorktree && !args.force) {
        AtRisk risk = rt.run(workAtRisk(workspace.repoPath, session));
        std::vector<std::string> lost;
        if (risk.uncommitted) {
            lost.push_back("uncommitted changes in " + session.worktreePath);
        }
        if (risk.unmergedCommits > 0) {
            lost.push_back(fmt::format("{} on branch {} that no other branch holds",
                                       counted(risk.unmergedCommits, "commit", "commits"),
                                       session.branch));
        }
        if (risk.detachedCommits > 0) {
            lost.push_back(fmt::format("{} on the detached HEAD in {} that no branch holds",
                                       counted(risk.detachedCommits, "commit", "commits"),
                                       session.worktreePath));
        }
        if (!lost.empty()) {
            std::string what = lost[0];
            for (size_t i = 1; i < lost.size(); ++i) {
                what += (i + 1 == lost.size() ? " and " : ", ") + lost[i];
            }
            throw CliFailure(ExitStatus::refused,
                             fmt::format("not removing {}: {} would be lost (use --force to "
                                         "remove it anyway)",
                                         session.slug, what));
        }
    }
    auto& state = rt.state();
    Progress progress("removing " + session.slug);
    rt.run(state.deleteSession(session, args.force));
    progress.clear();
    if (session.isWorktree) {
        rt.out().text += fmt::format("removed session {}, its worktree {} and its branch {}\n",
                                     session.slug, session.worktreePath, session.branch);
    } else {
        rt.out().text += fmt::format(
            "removed session {}; the main checkout and its branch {} were left as they are\n",
            session.slug, session.branch);
    }
}

void renameCommand(Runtime& rt, const RenameArgs& args) {
    requireNonBlank(args.title, "a session's title");
    Session session = findSession(rt, args.session);
    rt.state().renameSession(session.id, args.title);
    rt.out().text += fmt::format("{} is now titled \"{}\"\n", session.slug, args.title);
}

void branchCommand(Runtime& rt, const BranchArgs& args) {
    Session session = findSession(rt, args.session);
    workspaceOf(rt, session);
    auto& state = rt.state();
    rt.run(state.renameSessionBranch(session.id, args.name));
    rt.out().text +=
        fmt::format("renamed branch {} of {} to {}\n", session.branch, session.slug, args.name);
}

void moveCommand(Runtime& rt, const MoveArgs& args) {
    Session session = findSession(rt, args.session);
    auto& state = rt.state();
    auto list = sessionsOf(state, session.workspaceID);
    int count = static_cast<int>(list.size());
    if (args.position < 1 || args.position > count) {
        throw CliFailure(ExitStatus::usage,
                         fmt::format("POSITION must be between 1 and {}", count));
    }
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Session& s) { return s.id == session.id; });
    int from = static_cast<int>(it - list.begin());
    int target = args.position - 1;
    // The destination counts positions before the moved session is taken out.
    int destination = target > from ? target + 1 : target;
    if (target != from) {
        state.moveSessions(session.workspaceID, std::set<int>{from}, destination);
    }
    rt.out().text +=
        fmt::format("{} is now at position {} of {}\n", session.slug, args.position, count);
}

} // namespace Orvex
