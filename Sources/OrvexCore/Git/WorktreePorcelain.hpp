#pragma once

#include <string_view>
#include <vector>

#include "OrvexCore/Git/WorktreeInfo.hpp"

/// Reading the output of `git worktree list --porcelain`, with lines ended by line feeds or
/// (with git's "-z") by NUL bytes; only the NUL form carries a path holding a line feed.
namespace OrvexCore::WorktreePorcelain {

/// The linked worktrees listed in `output`, in git's order. Lines end at `separator`;
/// records are separated by empty lines; a "worktree " line starts a record (its path is resolved
/// through symbolic links), a "branch refs/heads/..." line names its branch, every other line is
/// ignored. The first record is the main worktree: it, and any record with the same path, is left
/// out.
std::vector<WorktreeInfo> parse(std::string_view output, char separator = '\n');

} // namespace OrvexCore::WorktreePorcelain
