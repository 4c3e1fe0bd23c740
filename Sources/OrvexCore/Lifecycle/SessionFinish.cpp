#include "OrvexCore/Lifecycle/SessionFinish.hpp"

#include <cstdlib>

#include <fmt/format.h>
#include <unistd.h>

#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Lifecycle/LifecycleError.hpp"
#include "OrvexCore/Lifecycle/LifecycleGit.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::SessionFinish {
namespace {

using Kind = LifecycleError::Kind;

std::string trimmed(const std::string& text) {
    return std::string(Text::trimmed(text));
}

bool succeeds(const std::string& directory, const std::vector<std::string>& arguments) {
    return LifecycleGit::attempt(directory, arguments).status == 0;
}

std::vector<std::string> git(const std::string& directory, std::vector<std::string> arguments) {
    std::vector<std::string> command{"git", "-C", directory};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

/// The checkout (main or linked) where `branch` is checked out, if any.
std::optional<std::string> checkoutOf(const std::string& repoPath, const std::string& branch) {
    auto fields = LifecycleGit::nulFields(
        LifecycleGit::run(repoPath, {"worktree", "list", "--porcelain", "-z"}));
    std::string path;
    for (const auto& field : fields) {
        if (field.starts_with("worktree ")) {
            path = field.substr(9);
        } else if (field == "branch refs/heads/" + branch && !path.empty()) {
            return path;
        }
    }
    return std::nullopt;
}

bool hasChanges(const std::string& checkout, bool countUntracked) {
    std::vector<std::string> arguments{"status", "--porcelain"};
    if (!countUntracked) {
        arguments.emplace_back("--untracked-files=no");
    }
    return !trimmed(LifecycleGit::run(checkout, arguments)).empty();
}

std::vector<std::string> conflictedFiles(const std::string& checkout) {
    auto result = LifecycleGit::attempt(checkout, {"diff", "--name-only", "--diff-filter=U", "-z"});
    return result.status == 0 ? LifecycleGit::nulFields(result.output) : std::vector<std::string>{};
}

/// The remote the branch pushes to: its configured remote, else "origin", else the only one.
std::string remoteFor(const std::string& repoPath, const std::string& branch) {
    auto configured = LifecycleGit::attempt(repoPath, {"config", "branch." + branch + ".remote"});
    if (configured.status == 0 && !trimmed(configured.output).empty()) {
        return trimmed(configured.output);
    }
    std::string listed = LifecycleGit::run(repoPath, {"remote"});
    auto remotes = Text::split(listed, '\n', false);
    for (auto name : remotes) {
        if (Text::trimmed(name) == "origin") {
            return "origin";
        }
    }
    if (remotes.size() == 1) {
        return std::string(Text::trimmed(remotes[0]));
    }
    throw LifecycleError(Kind::impossible, remotes.empty()
                                               ? "the repository has no remote to push to"
                                               : "the repository has several remotes and none is "
                                                 "\"origin\" or set for " +
                                                     branch);
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return false;
    }
    for (auto folder : Text::split(path, ':', false)) {
        if (::access(Paths::appendingComponent(folder, program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

std::string percentEncoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) ||
            std::string_view("-_.~/").find(static_cast<char>(c)) != std::string_view::npos) {
            out += static_cast<char>(c);
        } else {
            out += fmt::format("%{:02X}", c);
        }
    }
    return out;
}

void runStep(const Step& step, const std::function<void(const std::string&)>& onEvent) {
    auto result = Platform::runToCompletion("/usr/bin/env", step.command);
    if (!result.output.empty()) {
        onEvent(result.output);
    }
    if (result.status != 0) {
        std::string line = step.command.front();
        for (std::size_t i = 1; i < step.command.size(); ++i) {
            line += ' ' + step.command[i];
        }
        throw GitError(line, result.status, result.error.empty() ? result.output : result.error);
    }
    if (!result.error.empty()) {
        onEvent(result.error);
    }
}

} // namespace

Plan plan(const Request& request) {
    GitCLIService::validateRef(request.branch, "branch");
    Plan plan;
    if (request.into) {
        plan.base = *request.into;
    } else {
        auto head = LifecycleGit::attempt(request.repoPath, {"symbolic-ref", "--short", "HEAD"});
        if (head.status != 0) {
            throw LifecycleError(Kind::impossible,
                                 "the main checkout is not on a branch; name the base with --into");
        }
        plan.base = trimmed(head.output);
    }
    GitCLIService::validateRef(plan.base, "branch");
    if (plan.base == request.branch) {
        throw LifecycleError(Kind::impossible, "the session works on " + plan.base +
                                                   " itself; name the base with --into");
    }
    if (!succeeds(request.repoPath,
                  {"rev-parse", "--verify", "--quiet", "refs/heads/" + plan.base})) {
        throw LifecycleError(Kind::impossible, "there is no local branch " + plan.base);
    }
    if (hasChanges(request.worktreePath, true)) {
        throw LifecycleError(Kind::refused,
                             "the session's worktree " + request.worktreePath +
                                 " has uncommitted changes; commit or stash them first");
    }
    plan.commitsToBring = std::stoi(trimmed(LifecycleGit::run(
        request.repoPath, {"rev-list", "--count", plan.base + ".." + request.branch})));

    if (request.pullRequest) {
        plan.notes.push_back("the pull request brings the work onto " + plan.base +
                             "; nothing is merged here");
    } else {
        auto checkout = checkoutOf(request.repoPath, plan.base);
        if (!checkout) {
            throw LifecycleError(Kind::impossible,
                                 plan.base +
                                     " is not checked out anywhere; check it out in the "
                                     "main checkout first (git switch " +
                                     plan.base + ")");
        }
        plan.baseCheckout = *checkout;
        if (hasChanges(plan.baseCheckout, false)) {
            throw LifecycleError(Kind::refused, "the checkout of " + plan.base + " in " +
                                                    plan.baseCheckout +
                                                    " has uncommitted changes; commit or stash "
                                                    "them first");
        }
        const std::string& into = plan.baseCheckout;
        if (plan.commitsToBring == 0) {
            plan.notes.push_back(plan.base + " already holds every commit of " + request.branch +
                                 "; nothing to bring");
        } else if (request.strategy == Strategy::merge) {
            plan.steps.push_back({Step::Role::integrate,
                                  "merge " + request.branch + " into " + plan.base,
                                  git(into, {"merge", "--no-edit", request.branch}), into});
        } else if (request.strategy == Strategy::squash) {
            plan.steps.push_back({Step::Role::integrate,
                                  "squash the changes of " + request.branch + " onto " + plan.base,
                                  git(into, {"merge", "--squash", request.branch}), into});
            std::string message =
                request.title + "\n\nSquashed from branch " + request.branch + ".";
            plan.steps.push_back({Step::Role::commit, "commit them as one commit on " + plan.base,
                                  git(into, {"commit", "--quiet", "-m", message}), into});
        } else {
            plan.steps.push_back(
                {Step::Role::integrate, "rebase " + request.branch + " onto " + plan.base,
                 git(request.worktreePath, {"rebase", plan.base}), request.worktreePath});
            plan.steps.push_back({Step::Role::fastForward,
                                  "fast-forward " + plan.base + " to " + request.branch,
                                  git(into, {"merge", "--ff-only", request.branch}), into});
        }
    }

    if (request.push || request.pullRequest) {
        std::string remote = remoteFor(request.repoPath, request.branch);
        plan.steps.push_back(
            {Step::Role::push, "push " + request.branch + " to " + remote,
             git(request.worktreePath, {"push", "--set-upstream", remote, request.branch}),
             request.worktreePath});
        if (request.pullRequest) {
            bool gh =
                onPath("gh") &&
                Platform::runToCompletion("/usr/bin/env", {"gh", "auth", "status"}, false).status ==
                    0;
            if (gh) {
                plan.steps.push_back(
                    {Step::Role::pullRequest,
                     "open a pull request from " + request.branch + " onto " + plan.base,
                     {"-C", request.worktreePath, "gh", "pr", "create", "--base", plan.base,
                      "--head", request.branch, "--fill"},
                     request.worktreePath});
            } else {
                auto url = LifecycleGit::attempt(request.repoPath, {"remote", "get-url", remote});
                auto address = url.status == 0
                                   ? compareAddress(trimmed(url.output), plan.base, request.branch)
                                   : std::nullopt;
                std::string why = onPath("gh") ? "the GitHub command-line tool (gh) is not "
                                                 "logged in"
                                               : "the GitHub command-line tool (gh) is not "
                                                 "installed";
                if (!address) {
                    throw LifecycleError(Kind::impossible,
                                         "cannot open a pull request: " + why + ", and remote " +
                                             remote + " (" + trimmed(url.output) +
                                             ") is on no host whose pull request page is known");
                }
                plan.steps.push_back({Step::Role::print,
                                      why + "; open the pull request at " + *address,
                                      {},
                                      request.worktreePath});
            }
        }
    }
    return plan;
}

void execute(const Plan& plan, const Request& request,
             const std::function<void(const std::string&)>& onEvent) {
    std::string oldTip =
        trimmed(LifecycleGit::run(request.repoPath, {"rev-parse", "refs/heads/" + request.branch}));
    for (const auto& step : plan.steps) {
        if (step.role == Step::Role::print) {
            onEvent(step.description + "\n");
            continue;
        }
        onEvent(step.description + "\n");
        try {
            runStep(step, onEvent);
        } catch (const GitError&) {
            auto files = conflictedFiles(step.directory);
            std::string undo;
            switch (step.role) {
            case Step::Role::integrate:
                if (request.strategy == Strategy::rebase) {
                    undo = "rebase --abort";
                    LifecycleGit::attempt(step.directory, {"rebase", "--abort"});
                } else if (request.strategy == Strategy::merge) {
                    if (succeeds(step.directory, {"rev-parse", "-q", "--verify", "MERGE_HEAD"})) {
                        undo = "merge --abort";
                        LifecycleGit::attempt(step.directory, {"merge", "--abort"});
                    }
                } else {
                    undo = "reset --merge";
                    LifecycleGit::attempt(step.directory, {"reset", "--merge"});
                }
                break;
            case Step::Role::commit:
                LifecycleGit::attempt(step.directory, {"reset", "--merge"});
                break;
            case Step::Role::fastForward:
                // The branch was rebased a step before; put it back where it was.
                LifecycleGit::attempt(request.worktreePath, {"reset", "--keep", oldTip});
                break;
            default:
                break;
            }
            if (!files.empty()) {
                std::string list;
                for (const auto& f : files) {
                    list += (list.empty() ? "" : ", ") + f;
                }
                throw LifecycleError(
                    Kind::conflict,
                    fmt::format("{} stopped on conflicts in {}; git {} was run and everything is "
                                "as it was before",
                                step.description, list, undo),
                    files);
            }
            throw;
        }
    }
}

std::optional<std::string> compareAddress(const std::string& remoteURL, const std::string& base,
                                          const std::string& branch) {
    // git@host:owner/repo.git, ssh://git@host/owner/repo.git, https://host/owner/repo(.git)
    std::string rest = remoteURL;
    if (auto scheme = rest.find("://"); scheme != std::string::npos) {
        rest = rest.substr(scheme + 3);
    } else if (auto colon = rest.find(':'); colon != std::string::npos && rest.find('/') > colon) {
        rest[colon] = '/';
    } else {
        return std::nullopt;
    }
    if (auto at = rest.find('@'); at != std::string::npos && at < rest.find('/')) {
        rest = rest.substr(at + 1);
    }
    auto slash = rest.find('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    std::string host = rest.substr(0, slash);
    if (auto port = host.find(':'); port != std::string::npos) {
        host = host.substr(0, port);
    }
    std::string project = rest.substr(slash + 1);
    while (!project.empty() && project.back() == '/') {
        project.pop_back();
    }
    if (project.ends_with(".git")) {
        project.resize(project.size() - 4);
    }
    if (project.find('/') == std::string::npos) {
        return std::nullopt;
    }
    std::string from = percentEncoded(branch);
    std::string onto = percentEncoded(base);
    if (host == "github.com") {
        return fmt::format("https://github.com/{}/compare/{}...{}?expand=1", project, onto, from);
    }
    if (host == "gitlab.com") {
        return fmt::format("https://gitlab.com/{}/-/merge_requests/new?merge_request%5Bsource_"
                           "branch%5D={}&merge_request%5Btarget_branch%5D={}",
                           project, from, onto);
    }
    if (host == "bitbucket.org") {
        return fmt::format("https://bitbucket.org/{}/pull-requests/new?source={}&dest={}", project,
                           from, onto);
    }
    return std::nullopt;
}

} // namespace OrvexCore::SessionFinish
