#include <filesystem>
#include <set>

#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Lifecycle/Leftovers.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Progress.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::Workspace;
namespace Leftovers = OrvexCore::Leftovers;

namespace {

/// A session whose worktree folder is gone, with what deleting its branch would lose.
struct GoneSession {
    Session session;
    int unmergedCommits = 0;
};

/// Everything left behind, found in one pass on a background thread.
struct Findings {
    std::vector<GoneSession> gone;
    std::vector<Leftovers::Worktree> worktrees;
    std::vector<Leftovers::Branch> branches;
    std::vector<Leftovers::PrunableEntry> entries;
};

std::string humanSize(std::uintmax_t bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return unit == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", value, units[unit]);
}

Findings find(const std::vector<Workspace>& workspaces, const std::vector<Session>& sessions,
              const std::string& sessionsRoot) {
    Findings found;
    std::set<std::string> owned;
    std::set<std::string> live;
    std::set<std::string> gonePaths;
    for (const auto& s : sessions) {
        owned.insert(OrvexCore::Paths::resolvingSymlinks(s.worktreePath));
        live.insert(s.id.string());
        std::error_code ec;
        if (s.isWorktree && !std::filesystem::exists(s.worktreePath, ec)) {
            GoneSession gone{s, 0};
            for (const auto& w : workspaces) {
                if (w.id == s.workspaceID) {
                    try {
                        gone.unmergedCommits =
                            OrvexCore::GitCLIService().unmergedCommitCount(w.repoPath, s.branch);
                    } catch (const OrvexCore::GitError&) {
                        gone.unmergedCommits = 0;
                    }
                }
            }
            gonePaths.insert(s.worktreePath);
            found.gone.push_back(std::move(gone));
        }
    }
    found.worktrees = Leftovers::unownedWorktrees(sessionsRoot, owned);
    for (const auto& w : workspaces) {
        try {
            // A session adopted from its worktree at start-up gets a new identifier, so its
            // branch's mark names a session that is gone: a branch in use is no leftover.
            std::set<std::string> inUse;
            for (const auto& s : sessions) {
                if (s.workspaceID == w.id) {
                    inUse.insert(s.branch);
                }
            }
            for (auto& branch : Leftovers::orphanBranches(w.repoPath, live)) {
                if (!inUse.contains(branch.name)) {
                    found.branches.push_back(std::move(branch));
                }
            }
            for (auto& entry : Leftovers::prunableEntries(w.repoPath)) {
                // A gone session's record goes with the session; listing it twice would
                // count one thing as two.
                if (!gonePaths.contains(entry.path)) {
                    found.entries.push_back(std::move(entry));
                }
            }
        } catch (const OrvexCore::GitError&) {
            // A workspace git cannot read has nothing it can prune; `orvex ls` shows why.
        }
    }
    return found;
}

std::string workOf(const Leftovers::Worktree& w) {
    if (!w.repoPath) {
        return "unknown to git (its files cannot be checked)";
    }
    std::vector<std::string> held;
    if (w.uncommitted) {
        held.push_back("uncommitted changes");
    }
    if (w.unmergedCommits > 0) {
        held.push_back(counted(w.unmergedCommits, "unmerged commit", "unmerged commits"));
    }
    return held.empty() ? "" : held.size() == 2 ? held[0] + " and " + held[1] : held[0];
}

} // namespace

void pruneCommand(Runtime& rt, const PruneArgs& args) {
    if (args.force && !args.yes) {
        throw CliFailure(ExitStatus::usage, "--force only goes with --yes");
    }
    auto& state = rt.state();
    auto workspaces = allWorkspaces(state);
    auto sessions = allSessions(state);
    std::string root = state.sessionsRoot().string();
    Progress progress("looking for what sessions left behind");
    Findings found = rt.run(OrvexCore::inBackground(
        [workspaces, sessions, root] { return find(workspaces, sessions, root); }));
    progress.clear();

    auto& out = rt.out().text;
    std::uintmax_t total = 0;
    std::size_t items =
        found.gone.size() + found.worktrees.size() + found.branches.size() + found.entries.size();
    if (items == 0) {
        out += "nothing left behind\n";
        return;
    }
    if (!found.gone.empty()) {
        out += "sessions whose worktree folder is gone:\n";
        for (const auto& g : found.gone) {
            out += fmt::format(
                "  {}  {}  branch {}{}\n", g.session.slug, g.session.worktreePath, g.session.branch,
                g.unmergedCommits > 0
                    ? ", " + counted(g.unmergedCommits, "unmerged commit", "unmerged commits")
                    : "");
        }
    }
    if (!found.worktrees.empty()) {
        out += "worktrees under the sessions root that no session owns:\n";
        for (const auto& w : found.worktrees) {
            total += w.bytes;
            std::string work = workOf(w);
            out += fmt::format("  {}  {}{}{}\n", w.path, humanSize(w.bytes),
                               w.branch ? "  branch " + *w.branch : "",
                               work.empty() ? "" : ", " + work);
        }
    }
    if (!found.branches.empty()) {
        out += "branches made for sessions that no longer exist:\n";
        for (const auto& b : found.branches) {
            out += fmt::format(
                "  {}  in {}{}\n", b.name, b.repoPath,
                b.unmergedCommits > 0
                    ? ", " + counted(b.unmergedCommits, "unmerged commit", "unmerged commits")
                    : "");
        }
    }
    if (!found.entries.empty()) {
        out += "git's records of worktrees whose folder is gone:\n";
        for (const auto& e : found.entries) {
            out += fmt::format("  {}  in {}\n", e.path, e.repoPath);
        }
    }
    out += fmt::format("{} on disk\n", humanSize(total));
    if (!args.yes) {
        out += "nothing was removed: run 'orvex prune --yes' to remove them (add --force for "
               "those that hold work)\n";
        return;
    }

    std::size_t kept = 0;
    auto keep = [&](const std::string& what, const std::string& why) {
        ++kept;
        out += fmt::format("kept {}: {} (use --force to remove it anyway)\n", what, why);
    };
    for (const auto& g : found.gone) {
        if (g.unmergedCommits > 0 && !args.force) {
            keep("session " + g.session.slug,
                 counted(g.unmergedCommits, "unmerged commit", "unmerged commits"));
            continue;
        }
        rt.run(state.deleteSession(g.session, args.force));
        out +=
            fmt::format("removed session {} and its branch {}\n", g.session.slug, g.session.branch);
    }
    std::set<std::string> repos;
    for (const auto& e : found.entries) {
        repos.insert(e.repoPath);
    }
    for (const auto& repo : repos) {
        rt.run(OrvexCore::inBackground([repo] { Leftovers::pruneEntries(repo); }));
        out += fmt::format("pruned git's records of missing worktrees in {}\n", repo);
    }
    for (const auto& w : found.worktrees) {
        if (Leftovers::holdsWork(w) && !args.force) {
            keep(w.path, workOf(w));
            continue;
        }
        rt.run(OrvexCore::inBackground([w, force = args.force] { Leftovers::remove(w, force); }));
        out += fmt::format("removed {} ({})\n", w.path, humanSize(w.bytes));
    }
    for (const auto& b : found.branches) {
        if (b.unmergedCommits > 0 && !args.force) {
            keep("branch " + b.name,
                 counted(b.unmergedCommits, "unmerged commit", "unmerged commits"));
            continue;
        }
        rt.run(OrvexCore::inBackground([b, force = args.force] { Leftovers::remove(b, force); }));
        out += fmt::format("deleted branch {} in {}\n", b.name, b.repoPath);
    }
    if (kept > 0) {
        rt.out().emit();
        throw CliFailure(ExitStatus::refused,
                         fmt::format("{} of what was found would lose work and was kept",
                                     counted(static_cast<long long>(kept), "item", "items")));
    }
}

void completeNamesCommand(Runtime& rt, const std::string& what) {
    auto& state = rt.state();
    auto& out = rt.out().text;
    if (what == "sessions") {
        for (const auto& s : allSessions(state)) {
            out += s.slug + "\n";
        }
    } else if (what == "workspaces") {
        for (const auto& w : allWorkspaces(state)) {
            out += w.displayName + "\n";
        }
    } else {
        throw CliFailure(ExitStatus::usage, "names of 'sessions' or 'workspaces'");
    }
}

} // namespace Orvex
