#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Models/SessionStatus.hpp"
#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

/// One unit of work: a branch, normally in its own worktree, with a grid of terminals.
/// Fields are in declaration order; construction stores values as given (grid fields are
/// clamped only when decoding).
struct Session {
    UUID id;
    UUID workspaceID;
    /// Generated short name, fixed at creation; the worktree folder's name.
    std::string slug;
    /// Absolute path of the folder the session works in.
    std::string worktreePath;
    std::string branch;
    std::string title;
    SessionStatus lastKnownStatus = SessionStatus::unknown;
    int gridRows = 1;
    int gridCols = 1;
    std::optional<std::string> initialCommand;
    std::optional<std::string> baseCommit;
    std::optional<std::string> diffCompareRef;
    /// Changed file path to the fingerprint recorded when it was marked reviewed.
    std::map<std::string, std::string> reviewedFiles;
    bool isWorktree = true;
    /// Terminals per row of the saved grid, top row first.
    std::optional<std::vector<int>> gridLayout;
    /// Saved terminal titles in grid order.
    std::optional<std::vector<std::string>> gridTitles;

    friend bool operator==(const Session&, const Session&) = default;
};

} // namespace OrvexCore
