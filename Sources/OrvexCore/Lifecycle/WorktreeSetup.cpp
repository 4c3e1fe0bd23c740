#include "OrvexCore/Lifecycle/WorktreeSetup.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <fnmatch.h>
#include <unistd.h>

#include "OrvexCore/Lifecycle/LifecycleGit.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace fs = std::filesystem;

namespace OrvexCore::WorktreeSetup {
namespace {

constexpr const char* markName = "orvex-not-set-up";

bool globMatches(const std::string& pattern, const std::string& path) {
    return ::fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME | FNM_LEADING_DIR) == 0;
}

std::optional<std::string> gitFolder(const std::string& worktreePath) {
    auto result = LifecycleGit::attempt(worktreePath, {"rev-parse", "--absolute-git-dir"});
    if (result.status != 0) {
        return std::nullopt;
    }
    return std::string(Text::trimmed(result.output));
}

} // namespace

bool matches(std::string_view pattern, std::string_view relative) {
    std::string glob(pattern);
    std::string path(relative);
    if (glob.find('/') != std::string::npos) {
        return globMatches(glob, path);
    }
    // A bare name may stand at any depth: try it from every folder boundary.
    for (std::size_t start = 0; start < path.size();) {
        if (globMatches(glob, path.substr(start))) {
            return true;
        }
        auto slash = path.find('/', start);
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    return false;
}

std::vector<std::string> matchingIgnoredFiles(const std::string& repoPath,
                                              const std::vector<std::string>& patterns) {
    if (patterns.empty()) {
        return {};
    }
    auto output = LifecycleGit::run(
        repoPath, {"ls-files", "-z", "--others", "--ignored", "--exclude-standard"});
    std::vector<std::string> found;
    for (auto& path : LifecycleGit::nulFields(output)) {
        if (std::any_of(patterns.begin(), patterns.end(),
                        [&](const std::string& p) { return matches(p, path); })) {
            found.push_back(std::move(path));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

CopyOutcome copyFile(const std::string& repoPath, const std::string& worktreePath,
                     const std::string& relative) {
    CopyOutcome outcome{relative, CopyOutcome::Kind::copied, ""};
    auto fail = [&](CopyOutcome::Kind kind, std::string detail) {
        outcome.kind = kind;
        outcome.detail = std::move(detail);
        return outcome;
    };
    std::string repoTop = Paths::resolvingSymlinks(repoPath);
    std::string worktreeTop = Paths::resolvingSymlinks(worktreePath);
    std::string source = Paths::appendingComponent(repoPath, relative);
    std::string target = Paths::appendingComponent(worktreePath, relative);
    std::string sourceFolder = Paths::resolvingSymlinks(Paths::deletingLastComponent(source));
    if (!Paths::isInside(sourceFolder, repoTop)) {
        return fail(CopyOutcome::Kind::refused, "its folder leads out of the repository");
    }
    std::error_code ec;
    auto status = fs::symlink_status(source, ec);
    if (ec) {
        return fail(CopyOutcome::Kind::failed, ec.message());
    }
    bool isLink = status.type() == fs::file_type::symlink;
    if (isLink && !Paths::isInside(Paths::resolvingSymlinks(source), repoTop)) {
        return fail(CopyOutcome::Kind::refused, "a link to " +
                                                    fs::read_symlink(source, ec).string() +
                                                    ", outside the repository");
    }
    if (!isLink && status.type() != fs::file_type::regular) {
        return fail(CopyOutcome::Kind::refused, "not a regular file");
    }
    std::string targetFolder = Paths::deletingLastComponent(target);
    fs::create_directories(targetFolder, ec);
    if (ec) {
        return fail(CopyOutcome::Kind::failed, ec.message());
    }
    // A tracked link in the worktree could lead the copy elsewhere: write only inside it.
    if (!Paths::isInside(Paths::resolvingSymlinks(targetFolder), worktreeTop)) {
        return fail(CopyOutcome::Kind::refused, "its folder in the worktree leads out of it");
    }
    if (fs::symlink_status(target, ec).type() != fs::file_type::not_found) {
        return fail(CopyOutcome::Kind::existed, "");
    }
    if (isLink) {
        fs::create_symlink(fs::read_symlink(source), target, ec);
        if (ec) {
            return fail(CopyOutcome::Kind::failed, ec.message());
        }
        outcome.kind = CopyOutcome::Kind::linked;
        return outcome;
    }
    fs::copy_file(source, target, fs::copy_options::none, ec);
    if (!ec) {
        fs::permissions(target, status.permissions(), fs::perm_options::replace, ec);
    }
    if (ec) {
        return fail(CopyOutcome::Kind::failed, ec.message());
    }
    return outcome;
}

int runSetupCommand(const std::string& worktreePath, const std::string& command,
                    const std::function<void(std::string_view)>& onOutput) {
    Platform::SpawnOptions options;
    options.output = Platform::Stdio::pipe;
    options.error = Platform::Stdio::null;
    options.workingDirectory = worktreePath;
    // One pipe for both streams keeps the order in which the command wrote them.
    auto child = Platform::ChildProcess::spawn("/bin/sh", {"-c", "exec 2>&1\n" + command}, options);
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(child.outputFd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        onOutput(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return child.wait();
}

void markNotSetUp(const std::string& worktreePath, const std::string& reason) {
    if (auto folder = gitFolder(worktreePath)) {
        std::ofstream(Paths::appendingComponent(*folder, markName)) << reason << '\n';
    }
}

std::optional<std::string> notSetUpReason(const std::string& worktreePath) {
    auto folder = gitFolder(worktreePath);
    if (!folder) {
        return std::nullopt;
    }
    std::ifstream in(Paths::appendingComponent(*folder, markName));
    if (!in) {
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    return std::string(Text::trimmed(text.str()));
}

} // namespace OrvexCore::WorktreeSetup
