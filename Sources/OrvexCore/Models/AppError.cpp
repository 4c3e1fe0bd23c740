#include "OrvexCore/Models/AppError.hpp"

#include <fmt/format.h>

namespace OrvexCore {

namespace {

const UUID noSession{std::array<std::uint8_t, 16>{}};

std::string describe(AppError::Kind kind, const UUID& sessionID, const std::string& path,
                     int commitCount) {
    switch (kind) {
    case AppError::Kind::uncommittedChanges:
        return fmt::format("session {} has uncommitted changes", sessionID.string());
    case AppError::Kind::notAGitRepository:
        return fmt::format("not a registered git repository: \"{}\"", path);
    case AppError::Kind::invalidBranchName:
        return "the branch name is empty";
    case AppError::Kind::unmergedCommits:
        return fmt::format("session {} has {} commit(s) on no other branch", sessionID.string(),
                           commitCount);
    }
    return "application error";
}

} // namespace

AppError::AppError(Kind kind, UUID sessionID, std::string path, int commitCount)
    : kind_(kind), sessionID_(sessionID), path_(std::move(path)), commitCount_(commitCount),
      description_(describe(kind_, sessionID_, path_, commitCount_)) {}

AppError AppError::uncommittedChanges(UUID sessionID) {
    return AppError(Kind::uncommittedChanges, sessionID, {}, 0);
}

AppError AppError::notAGitRepository(std::string path) {
    return AppError(Kind::notAGitRepository, noSession, std::move(path), 0);
}

AppError AppError::invalidBranchName() {
    return AppError(Kind::invalidBranchName, noSession, {}, 0);
}

AppError AppError::unmergedCommits(UUID sessionID, int commitCount) {
    return AppError(Kind::unmergedCommits, sessionID, {}, commitCount);
}

} // namespace OrvexCore
