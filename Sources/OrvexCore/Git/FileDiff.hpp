#pragma once

#include <cstdint>
#include <string>

namespace OrvexCore {

/// One changed file of a worktree. Its identity is `path`.
struct FileDiff {
    /// Relative to the worktree root, exactly as git printed it.
    std::string path;
    std::int64_t added = 0;
    std::int64_t removed = 0;
    /// The unified patch; always empty in results of `GitService::diff`.
    std::string patch;

    const std::string& id() const { return path; }
    friend bool operator==(const FileDiff&, const FileDiff&) = default;
};

} // namespace OrvexCore
