#include "orvex/Failure.hpp"

#include <system_error>

#include <fmt/format.h>

#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Lifecycle/LifecycleError.hpp"
#include "OrvexCore/Models/AppError.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace Orvex {

const char* const exitStatusHelp =
    "Exit status:\n"
    "  0    success\n"
    "  1    an operation failed (git, the diff helper, files, editor)\n"
    "  2    bad arguments: usage, unknown setting or wrong value\n"
    "  3    unknown workspace, session or file\n"
    "  4    ambiguous name (the candidates are listed)\n"
    "  5    refused: it would lose uncommitted or unmerged work\n"
    "  130  interrupted (the state is saved first)\n";

std::string firstLine(const std::string& text) {
    for (auto piece : OrvexCore::Text::split(text, '\n', false)) {
        auto line = OrvexCore::Text::trimmed(piece);
        if (!line.empty()) {
            return std::string(line);
        }
    }
    return {};
}

namespace {

/// git's own complaint: its "fatal:", "error:" and "warning:" lines (the ones that say what
/// went wrong), else its first line. Progress lines such as "Preparing worktree" say nothing
/// about the failure.
std::string gitComplaint(const std::string& message) {
    std::string said;
    for (auto piece : OrvexCore::Text::split(message, '\n', false)) {
        auto line = OrvexCore::Text::trimmed(piece);
        if (line.starts_with("fatal:") || line.starts_with("error:")) {
            said += said.empty() ? "" : "\n  ";
            said += std::string(line);
        }
    }
    return said.empty() ? firstLine(message) : said;
}

FailureReport describeGit(const OrvexCore::GitError& e) {
    if (e.exitCode == -1) {
        // A name rejected before git ran: the caller gave a bad ref or branch.
        return {ExitStatus::usage, e.message};
    }
    std::string detail = gitComplaint(e.message);
    if (detail.empty()) {
        detail = fmt::format("exit status {}", e.exitCode);
    }
    // The whole command as it ran: a path holding spaces stays whole, and the user can run
    // the same command to look closer.
    return {ExitStatus::failure, fmt::format("`{}` failed:\n  {}", e.command, detail)};
}

FailureReport describeApp(const OrvexCore::AppError& e) {
    using Kind = OrvexCore::AppError::Kind;
    switch (e.kind()) {
    case Kind::uncommittedChanges:
        return {ExitStatus::refused, "the session's worktree has uncommitted changes that would "
                                     "be lost (use --force to remove it anyway)"};
    case Kind::unmergedCommits:
        return {ExitStatus::refused,
                fmt::format("{} on the session's branch that no other branch holds would be "
                            "lost (use --force to remove it anyway)",
                            e.commitCount() == 1 ? std::string("1 commit")
                                                 : fmt::format("{} commits", e.commitCount()))};
    case Kind::notAGitRepository:
        return {ExitStatus::notFound,
                e.path().empty() ? std::string("that workspace is not registered")
                                 : fmt::format("the workspace of the session in {} is no longer "
                                               "registered",
                                               e.path())};
    case Kind::invalidBranchName:
        return {ExitStatus::usage, "a branch name cannot be blank"};
    }
    return {ExitStatus::failure, e.what()};
}

} // namespace

FailureReport describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CliFailure& e) {
        return {e.status, e.what()};
    } catch (const OrvexCore::GitError& e) {
        return describeGit(e);
    } catch (const OrvexCore::AppError& e) {
        return describeApp(e);
    } catch (const OrvexCore::LifecycleError& e) {
        return {e.kind == OrvexCore::LifecycleError::Kind::refused ? ExitStatus::refused
                                                                   : ExitStatus::failure,
                e.what()};
    } catch (const OrvexCore::DiffHelperClient::ClientError& e) {
        return {ExitStatus::failure, "diff helper: " + firstLine(e.description())};
    } catch (const std::system_error& e) {
        return {ExitStatus::failure, e.what()};
    } catch (const std::exception& e) {
        std::string text = firstLine(e.what());
        return {ExitStatus::failure, text.empty() ? "unexpected failure" : text};
    } catch (...) {
        return {ExitStatus::failure, "unexpected failure"};
    }
}

} // namespace Orvex
