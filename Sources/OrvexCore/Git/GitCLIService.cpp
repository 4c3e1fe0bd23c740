#include "OrvexCore/Git/GitCLIService.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <unistd.h>
#include <utf8proc.h>

#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/Numstat.hpp"
#include "OrvexCore/Git/UntrackedFiles.hpp"
#include "OrvexCore/Git/WorktreePorcelain.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/JSONString.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {
namespace {

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

std::string shownWithNUL(std::string_view text) {
    std::string shown;
    for (char c : text) {
        if (c == '\0') {
            shown += "\\0";
        } else {
            shown += c;
        }
    }
    return shown;
}

/// Throws unless `path` could be a name git lists: relative, with no empty, "." or ".."
/// component. Others would name another file than themselves ("a/../b"), or every file ("",
/// "."), or a place outside the worktree.
void validateFilePath(const std::string& path) {
    bool valid = !path.empty() && path.front() != '/' && path.back() != '/';
    for (auto component : Text::split(path, '/', true)) {
        if (component.empty() || component == "." || component == "..") {
            valid = false;
        }
    }
    if (!valid) {
        throw GitError("path", -1, "Invalid file path: " + Text::sanitizedUTF8(shownWithNUL(path)));
    }
}

/// git keeps every changed file it had to read to see whether it changed mapped until it has
/// listed them all; past the system's limit on mappings (about 65,000) it stops.
bool ranOutOfMemoryMaps(const GitError& error) {
    return error.message.find("mmap failed") != std::string::npos ||
           error.message.find("max_map_count") != std::string::npos;
}

/// A copy of a worktree's index in the temporary folder, removed with this object, so that
/// git can refresh and write an index without ever touching (or locking) the user's.
class TemporaryIndex {
public:
    explicit TemporaryIndex(const std::string& original) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvex-index-XXXXXX").string();
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "cannot create a temporary index file");
        }
        ::close(fd);
        path_ = pattern;
        std::error_code ec;
        if (std::filesystem::exists(original, ec)) {
            std::filesystem::copy_file(original, path_,
                                       std::filesystem::copy_options::overwrite_existing);
        } else {
            // No index yet: git reads a missing file as an empty index.
            std::filesystem::remove(path_, ec);
        }
    }
    ~TemporaryIndex() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
        std::filesystem::remove(path_ + ".lock", ec);
    }
    TemporaryIndex(const TemporaryIndex&) = delete;
    TemporaryIndex& operator=(const TemporaryIndex&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

std::string trimmedString(std::string_view output) {
    return std::string(Text::trimmed(output));
}

} // namespace

std::string GitCLIService::run(const std::vector<std::string>& arguments) {
    std::string output = runKeepingBytes(arguments);
    return JSONString::isValidUTF8(output) ? output : Text::sanitizedUTF8(output);
}

std::string GitCLIService::runKeepingBytes(const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& environment,
                                           int alsoSuccess, std::string_view input) {
    std::string command = "git";
    for (const auto& argument : arguments) {
        command += ' ';
        command += argument;
    }
    // The program would see an argument cut short at its first NUL: another file, or another
    // worktree, than the caller named.
    for (const auto& argument : arguments) {
        if (argument.find('\0') != std::string::npos) {
            throw GitError(Text::sanitizedUTF8(shownWithNUL(command)), -1,
                           "Invalid argument (it holds a NUL character): " +
                               Text::sanitizedUTF8(shownWithNUL(argument)));
        }
    }
    std::vector<std::string> envArguments = environment;
    envArguments.reserve(environment.size() + arguments.size() + 1);
    envArguments.emplace_back("git");
    envArguments.insert(envArguments.end(), arguments.begin(), arguments.end());

    auto result = input.empty() ? Platform::runToCompletion("/usr/bin/env", envArguments)
                                : Platform::runWithInput("/usr/bin/env", envArguments, input);
    if (result.status == 0 || (alsoSuccess != 0 && result.status == alsoSuccess)) {
        return std::move(result.output);
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
    return changedFiles(worktreePath, base).fileDiffs();
}

ChangedFileList GitCLIService::changedFiles(const std::string& worktreePath,
                                            const std::string& base) {
    validateRef(base, "ref");
    // git lists untracked files while it counts the changed ones: the two take about as long.
    auto untracked = std::async(std::launch::async,
                                [this, &worktreePath] { return listUntracked(worktreePath); });
    try {
        // "-z": names come as they are, whatever they hold, instead of quoted. The summary
        // tells created and deleted files from changed ones.
        auto numstat = runKeepingBytes({"-C", worktreePath, "-c", "core.quotePath=false", "diff",
                                        "--no-renames", base, "--numstat", "--summary", "-z"});
        return withUntrackedFiles(worktreePath, std::move(numstat), untracked.get());
    } catch (const GitError& error) {
        if (!ranOutOfMemoryMaps(error)) {
            throw;
        }
    }
    return changedFilesThroughTemporaryIndex(worktreePath, base);
}

GitCLIService::Untracked GitCLIService::listUntracked(const std::string& worktreePath) {
    Untracked untracked;
    untracked.names =
        runKeepingBytes({"-C", worktreePath, "ls-files", "--others", "--exclude-standard", "-z"});
    // What ".gitattributes" says of the new files decides as it does for tracked ones:
    // "binary" or "-diff" makes a file binary, "diff" makes it text. One git run for them all.
    if (!untracked.names.empty()) {
        untracked.diffAttributes = runKeepingBytes(
            {"-C", worktreePath, "check-attr", "-z", "--stdin", "diff"}, {}, 0, untracked.names);
    }
    return untracked;
}

ChangedFileList GitCLIService::withUntrackedFiles(const std::string& worktreePath,
                                                  std::string numstat, const Untracked& untracked) {
    auto summary = ChangeSummary::takeFrom(numstat);
    // Repaired part by part, so that the offset where the new files begin stays true.
    if (!JSONString::isValidUTF8(numstat)) {
        numstat = Text::sanitizedUTF8(numstat);
    }
    const std::size_t untrackedFrom = numstat.size();
    std::string records;
    UntrackedFiles::appendRecords(records, worktreePath, untracked.names, untracked.diffAttributes);
    if (!JSONString::isValidUTF8(records)) {
        records = Text::sanitizedUTF8(records);
    }
    numstat += records;
    return Numstat::read(std::move(numstat), '\0', &summary, untrackedFrom);
}

ChangedFileList GitCLIService::changedFilesThroughTemporaryIndex(const std::string& worktreePath,
                                                                 const std::string& base) {
    validateRef(base, "ref");
    auto index = trimmedString(
        run({"-C", worktreePath, "rev-parse", "--path-format=absolute", "--git-path", "index"}));
    TemporaryIndex copy(index);
    const std::vector<std::string> environment{"GIT_INDEX_FILE=" + copy.path()};
    // Files whose stat data is stale but whose content is unchanged are settled here, one
    // file at a time. Exit status 1 only says that some entries need an update: they are the
    // changed files.
    try {
        runKeepingBytes({"-C", worktreePath, "update-index", "-q", "--refresh"}, environment);
    } catch (const GitError& error) {
        if (error.exitCode != 1) {
            throw;
        }
    }
    // Every entry still stale now differs in content, so git need not read files to check,
    // and reads each one only while it counts its lines.
    auto numstat = runKeepingBytes({"-C", worktreePath, "-c", "core.quotePath=false", "-c",
                                    "diff.autoRefreshIndex=false", "diff", "--no-renames", base,
                                    "--numstat", "--summary", "-z"},
                                   environment);
    return withUntrackedFiles(worktreePath, std::move(numstat), listUntracked(worktreePath));
}

std::string GitCLIService::filePatch(const std::string& worktreePath, const std::string& path,
                                     const std::string& base) {
    validateRef(base, "ref");
    validateFilePath(path);
    // The name is taken literally (no wildcards, no magic), and the "exclude" keeps out what
    // sits below a folder of the same name: a file replaced by a folder is two listed paths.
    std::string patch = runKeepingBytes({"-C", worktreePath, "-c", "core.quotePath=false", "diff",
                                         "--no-renames", "-U3", base, "--", ":(literal)" + path,
                                         ":(exclude,literal)" + path + "/"});
    if (patch.empty() && isUntracked(worktreePath, path)) {
        // As git shows a new file; "diff --no-index" exits with 1 when the files differ.
        patch = runKeepingBytes({"-C", worktreePath, "-c", "core.quotePath=false", "diff",
                                 "--no-index", "--no-renames", "-U3", "--", "/dev/null", path},
                                {}, 1);
    }
    if (patch.empty() && path.find(replacementCharacter) != std::string::npos) {
        throwIfNameIsNotText(worktreePath, path, base);
    }
    if (!JSONString::isValidUTF8(patch)) {
        patch = Text::sanitizedUTF8(patch);
    }
    return capPatchSize(std::move(patch));
}

bool GitCLIService::isUntracked(const std::string& worktreePath, const std::string& path) {
    // Only a name git lists as untracked is read outside git's own diff: not an ignored file,
    // not one reached through a symbolic link to a folder.
    auto listed = runKeepingBytes({"-C", worktreePath, "ls-files", "--others", "--exclude-standard",
                                   "-z", "--", ":(literal)" + path});
    return listed.size() == path.size() + 1 && listed.compare(0, path.size(), path) == 0;
}

void GitCLIService::throwIfNameIsNotText(const std::string& worktreePath, const std::string& path,
                                         const std::string& base) {
    // The listing shows such a name with U+FFFD in place of its bad bytes, and git knows no
    // file by that name: say so rather than answer an empty patch.
    auto names =
        runKeepingBytes({"-C", worktreePath, "diff", "--no-renames", "--name-only", "-z", base});
    for (auto name : Text::split(names, '\0', false)) {
        if (!JSONString::isValidUTF8(name) && Text::sanitizedUTF8(name) == path) {
            throw GitError("path", -1,
                           "The file name is not valid UTF-8, so its patch cannot be shown: " +
                               path);
        }
    }
}

std::vector<WorktreeInfo> GitCLIService::listWorktrees(const std::string& repoPath) {
    // "-z": a path holding a line feed comes whole.
    return WorktreePorcelain::parse(run({"-C", repoPath, "worktree", "list", "--porcelain", "-z"}),
                                    '\0');
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
