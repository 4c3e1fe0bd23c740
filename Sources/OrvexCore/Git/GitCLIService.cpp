#include "OrvexCore/Git/GitCLIService.hpp"

#include <charconv>
#include <utility>

#include <fmt/format.h>
#include <utf8proc.h>

#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/Numstat.hpp"
#include "OrvexCore/Git/WorktreePorcelain.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {
namespace {

constexpr size_t maxPatchBytes = 512 * 1024;

bool isForbiddenInRef(char32_t scalar) {
    switch (scalar) {
    case U' ':
    case U'~':
    case U'^':
    case U':':
    case U'?':
    case U'*':
    case U'[':
    case U'\\':
        return true;
    default:
        break;
    }
    auto category = utf8proc_category(static_cast<utf8proc_int32_t>(scalar));
    return category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF;
}

/// Decodes one scalar, reporting an invalid sequence as nothing rather than U+FFFD, so that
/// bytes that are not text cannot slip past the checks as a harmless replacement character.
std::optional<char32_t> strictScalar(std::string_view text, size_t& offset) {
    utf8proc_int32_t scalar = 0;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                              static_cast<utf8proc_ssize_t>(text.size() - offset), &scalar);
    if (n <= 0) {
        return std::nullopt;
    }
    offset += static_cast<size_t>(n);
    return static_cast<char32_t>(scalar);
}

std::vector<std::string> nonEmptyLines(std::string_view output) {
    std::vector<std::string> lines;
    for (auto line : Text::split(output, '\n', false)) {
        lines.emplace_back(line);
    }
    return lines;
}

std::string trimmedString(std::string_view output) {
    return std::string(Text::trimmed(output));
}

} // namespace

std::string GitCLIService::run(const std::vector<std::string>& arguments) {
    std::vector<std::string> envArguments;
    envArguments.reserve(arguments.size() + 1);
    envArguments.emplace_back("git");
    envArguments.insert(envArguments.end(), arguments.begin(), arguments.end());

    auto result = Platform::runToCompletion("/usr/bin/env", envArguments);
    if (result.status == 0) {
        return Text::sanitizedUTF8(result.output);
    }
    std::string command = "git";
    for (const auto& argument : arguments) {
        command += ' ';
        command += argument;
    }
    std::string message = result.error.empty() ? result.output : result.error;
    throw GitError(std::move(command), result.status, Text::sanitizedUTF8(message));
}

void GitCLIService::validateRef(std::string_view value, std::string_view label) {
    auto reject = [&] {
        throw GitError(std::string(label), -1, "Invalid ref name: " + Text::sanitizedUTF8(value));
    };
    if (value.empty() || value.front() == '-' || value.find("..") != std::string_view::npos) {
        reject();
    }
    size_t offset = 0;
    while (offset < value.size()) {
        auto scalar = strictScalar(value, offset);
        if (!scalar || isForbiddenInRef(*scalar)) {
            reject();
        }
    }
}

std::string GitCLIService::capPatchSize(std::string patch) {
    if (patch.size() <= maxPatchBytes) {
        return patch;
    }
    return fmt::format("[diff truncated: file too large ({} KB)]", patch.size() / 1024);
}

bool GitCLIService::isGitRepo(const std::string& path) {
    try {
        return Text::trimmed(run({"-C", path, "rev-parse", "--is-inside-work-tree"})) == "true";
    } catch (const std::exception&) {
        return false;
    }
}

void GitCLIService::initRepo(const std::string& path) {
    run({"-C", path, "init"});
}

void GitCLIService::addWorktree(const std::string& repoPath, const std::string& worktreePath,
                                const std::string& branch) {
    validateRef(branch, "branch");
    run({"-C", repoPath, "worktree", "add", "-b", branch, worktreePath});
}

void GitCLIService::removeWorktree(const std::string& repoPath, const std::string& worktreePath,
                                   bool force) {
    std::vector<std::string> arguments{"-C", repoPath, "worktree", "remove"};
    if (force) {
        arguments.emplace_back("--force");
    }
    arguments.push_back(worktreePath);
    run(arguments);
}

void GitCLIService::deleteBranch(const std::string& repoPath, const std::string& branch,
                                 bool force) {
    validateRef(branch, "branch");
    run({"-C", repoPath, "branch", force ? "-D" : "-d", branch});
}

bool GitCLIService::hasUncommittedChanges(const std::string& worktreePath) {
    try {
        return !Text::trimmed(run({"-C", worktreePath, "status", "--porcelain"})).empty();
    } catch (const std::exception&) {
        return false;
    }
}

std::string GitCLIService::headCommit(const std::string& repoPath) {
    return trimmedString(run({"-C", repoPath, "rev-parse", "HEAD"}));
}

std::string GitCLIService::mergeBase(const std::string& repoPath, const std::string& first,
                                     const std::string& second) {
    validateRef(first, "ref");
    validateRef(second, "ref");
    return trimmedString(run({"-C", repoPath, "merge-base", first, second}));
}

std::vector<FileDiff> GitCLIService::diff(const std::string& worktreePath,
                                          const std::string& base) {
    validateRef(base, "ref");
    return Numstat::parse(run({"-C", worktreePath, "-c", "core.quotePath=false", "diff",
                               "--no-renames", base, "--numstat"}));
}

std::string GitCLIService::filePatch(const std::string& worktreePath, const std::string& path,
                                     const std::string& base) {
    validateRef(base, "ref");
    return capPatchSize(run({"-C", worktreePath, "-c", "core.quotePath=false", "diff",
                             "--no-renames", "-U3", base, "--", path}));
}

std::vector<WorktreeInfo> GitCLIService::listWorktrees(const std::string& repoPath) {
    return WorktreePorcelain::parse(run({"-C", repoPath, "worktree", "list", "--porcelain"}));
}

bool GitCLIService::localBranchExists(const std::string& repoPath, const std::string& branch) {
    try {
        validateRef(branch, "branch");
        run({"-C", repoPath, "rev-parse", "--verify", "--quiet", "refs/heads/" + branch});
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool GitCLIService::remoteBranchExists(const std::string& repoPath, const std::string& branch) {
    try {
        validateRef(branch, "branch");
        run({"-C", repoPath, "rev-parse", "--verify", "--quiet", "refs/remotes/" + branch});
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void GitCLIService::fetch(const std::string& repoPath, const std::string& remote,
                          const std::optional<std::string>& branch) {
    validateRef(remote, "remote");
    if (branch) {
        validateRef(*branch, "branch");
    }
    std::vector<std::string> arguments{"-C", repoPath, "fetch", remote};
    if (branch) {
        arguments.push_back(*branch);
    }
    run(arguments);
}

void GitCLIService::addWorktreeExistingBranch(const std::string& repoPath,
                                              const std::string& worktreePath,
                                              const std::string& branch) {
    validateRef(branch, "branch");
    run({"-C", repoPath, "worktree", "add", worktreePath, branch});
}

void GitCLIService::addWorktreeTrackingRemote(const std::string& repoPath,
                                              const std::string& worktreePath,
                                              const std::string& branch,
                                              const std::string& remote) {
    validateRef(branch, "branch");
    validateRef(remote, "remote");
    run({"-C", repoPath, "worktree", "add", "-b", branch, worktreePath, remote + "/" + branch});
}

std::string GitCLIService::currentBranch(const std::string& repoPath) {
    return trimmedString(run({"-C", repoPath, "symbolic-ref", "--short", "HEAD"}));
}

void GitCLIService::renameBranch(const std::string& /*repoPath*/, const std::string& worktreePath,
                                 const std::string& oldName, const std::string& newName) {
    validateRef(oldName, "branch");
    validateRef(newName, "branch");
    // The rename runs where the branch is checked out, so git also updates that worktree.
    run({"-C", worktreePath, "branch", "-m", oldName, newName});
}

std::vector<std::string> GitCLIService::listLocalBranches(const std::string& repoPath) {
    return nonEmptyLines(
        run({"-C", repoPath, "for-each-ref", "refs/heads", "--format=%(refname:short)"}));
}

std::vector<std::string> GitCLIService::listRemoteBranches(const std::string& repoPath) {
    auto branches = nonEmptyLines(
        run({"-C", repoPath, "for-each-ref", "refs/remotes", "--format=%(refname:short)"}));
    std::erase(branches, "origin/HEAD");
    return branches;
}

int GitCLIService::unmergedCommitCount(const std::string& repoPath, const std::string& branch) {
    validateRef(branch, "branch");
    // Everything after "--not" is excluded: every other local branch, every remote-tracking
    // branch and the main checkout's HEAD. The "--exclude" pattern applies to the "--branches"
    // right after it and is matched against the name without "refs/heads/"; validated names
    // hold no glob characters, so it matches this branch alone.
    std::vector<std::string> arguments{"-C",
                                       repoPath,
                                       "rev-list",
                                       "--count",
                                       "refs/heads/" + branch,
                                       "--not",
                                       "--exclude=" + branch,
                                       "--branches",
                                       "--remotes",
                                       "HEAD"};
    auto output = run(arguments);
    auto text = Text::trimmed(output);
    int count = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error != std::errc() || end != text.data() + text.size()) {
        std::string command = "git";
        for (const auto& argument : arguments) {
            command += ' ' + argument;
        }
        throw GitError(std::move(command), 0, "Unexpected output: " + output);
    }
    return count;
}

int GitCLIService::detachedCommitCount(const std::string& worktreePath) {
    try {
        run({"-C", worktreePath, "symbolic-ref", "--quiet", "HEAD"});
        return 0; // on a branch: that branch's own check covers it
    } catch (const GitError& error) {
        if (error.exitCode != 1) { // 1 is "detached"; anything else is a real failure
            throw;
        }
    }
    std::vector<std::string> arguments{"-C",    worktreePath, "rev-list",  "--count", "HEAD",
                                       "--not", "--branches", "--remotes", "--tags"};
    auto output = run(arguments);
    auto text = Text::trimmed(output);
    int count = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw GitError("git rev-list --count HEAD", 0, "Unexpected output: " + output);
    }
    return count;
}

} // namespace OrvexCore
