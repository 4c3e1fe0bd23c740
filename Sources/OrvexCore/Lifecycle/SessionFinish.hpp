#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

/// Bringing a finished session's work home: onto its base branch by merge, rebase or squash,
/// pushed to the remote, or offered as a pull request. Planning reads only; carrying out a
/// plan changes the repository step by step and, when git stops on a conflict, aborts the
/// operation so that branches, worktrees and checkouts are exactly as before. Blocking;
/// background threads only.
namespace OrvexCore::SessionFinish {

enum class Strategy { merge, rebase, squash };

/// What the user asked for.
struct Request {
    std::string repoPath;            ///< the main checkout
    std::string worktreePath;        ///< the session's worktree
    std::string branch;              ///< the session's branch
    std::string title;               ///< the session's title (the squash commit's subject)
    std::optional<std::string> into; ///< the base branch; default: the main checkout's branch
    Strategy strategy = Strategy::merge;
    bool push = false;
    bool pullRequest = false; ///< push and open a pull request instead of integrating locally
};

/// One thing the plan does: a command run through "/usr/bin/env", or a line to print.
struct Step {
    /// What the step is for; decides how a failure is undone.
    enum class Role { integrate, commit, fastForward, push, pullRequest, print };
    Role role = Role::print;
    std::string description;          ///< for people: "merge feature into main"
    std::vector<std::string> command; ///< "git", "-C", folder, ...; empty for `print`
    std::string directory;            ///< the checkout it works in
    friend bool operator==(const Step&, const Step&) = default;
};

struct Plan {
    std::string base;         ///< the branch the work goes onto
    std::string baseCheckout; ///< the checkout where the base branch is checked out
    int commitsToBring = 0;   ///< commits on the session's branch the base lacks
    std::vector<Step> steps;
    std::vector<std::string> notes; ///< what the plan chose not to do, and why
};

/// Checks what can be checked without changing anything and lays out the steps. Throws
/// LifecycleError (refused: the worktree has uncommitted changes or the base checkout has
/// changes to tracked files; impossible: no such base, the base is not checked out anywhere,
/// no remote to push to) or GitError.
Plan plan(const Request& request);

/// Carries out `plan`, telling `onEvent` each step before it runs and handing it each piece
/// of a step's output. Throws LifecycleError (conflict) after aborting, or GitError when a
/// step fails otherwise (what ran before it stays done).
void execute(const Plan& plan, const Request& request,
             const std::function<void(const std::string&)>& onEvent);

/// The address of a web page that opens a pull request from `branch` onto `base` for a
/// remote at `remoteURL` on a known host (github.com, gitlab.com, bitbucket.org), or nothing.
std::optional<std::string> compareAddress(const std::string& remoteURL, const std::string& base,
                                          const std::string& branch);

} // namespace OrvexCore::SessionFinish
