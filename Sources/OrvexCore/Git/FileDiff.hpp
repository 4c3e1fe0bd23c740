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
    /// How the file changed: 'M' modified, 'A' added (also a file git does not track yet),
    /// 'D' deleted, 'B' binary (git counts no lines of it, whatever else happened). git runs
    /// with renames off, so a rename is a deletion and an addition.
    ///
    /// Not part of equality: it restates what the listing already says of the file, and a
    /// listing read from an older helper, which sends none, is still the same listing.
    char status = 'M';

    const std::string& id() const { return path; }
    friend bool operator==(const FileDiff& a, const FileDiff& b) {
        return a.path == b.path && a.added == b.added && a.removed == b.removed &&
               a.patch == b.patch;
    }
};

} // namespace OrvexCore
