#pragma once

#include <optional>
#include <string>

namespace OrvexCore {

/// One linked worktree reported by git.
struct WorktreeInfo {
    /// Absolute, with symbolic links resolved.
    std::string path;
    /// Short branch name checked out there; absent for a detached worktree.
    std::optional<std::string> branch;

    friend bool operator==(const WorktreeInfo&, const WorktreeInfo&) = default;
};

} // namespace OrvexCore
