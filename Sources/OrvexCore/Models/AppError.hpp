#pragma once

#include <exception>
#include <string>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

/// The conditions of the application state's own operations (errors of git and of the store
/// pass through unchanged). Carries no user-facing text: the front end words each case;
/// `what()` is for logs and tests. Compares equal case and payload alike.
class AppError : public std::exception {
public:
    enum class Kind {
        /// Deleting a session without force while its worktree has uncommitted changes.
        uncommittedChanges,
        /// A session's workspace is not registered (payload: the session's worktree path), or
        /// a session was added to an unknown workspace (payload: empty).
        notAGitRepository,
        /// A branch rename to a name that is empty after trimming.
        invalidBranchName,
        /// Deleting a session without force while its branch holds commits that no other
        /// branch, remote-tracking branch or HEAD contains (payload: session, commit count).
        unmergedCommits,
    };

    static AppError uncommittedChanges(UUID sessionID);
    static AppError notAGitRepository(std::string path);
    static AppError invalidBranchName();
    static AppError unmergedCommits(UUID sessionID, int commitCount);

    Kind kind() const { return kind_; }
    /// The session of `uncommittedChanges` and `unmergedCommits`; a zero UUID otherwise.
    const UUID& sessionID() const { return sessionID_; }
    /// The path of `notAGitRepository`; empty otherwise.
    const std::string& path() const { return path_; }
    /// The commit count of `unmergedCommits`; 0 otherwise.
    int commitCount() const { return commitCount_; }

    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const AppError& a, const AppError& b) {
        return a.kind_ == b.kind_ && a.sessionID_ == b.sessionID_ && a.path_ == b.path_ &&
               a.commitCount_ == b.commitCount_;
    }

private:
    AppError(Kind kind, UUID sessionID, std::string path, int commitCount);

    Kind kind_;
    UUID sessionID_;
    std::string path_;
    int commitCount_;
    std::string description_;
};

} // namespace OrvexCore
