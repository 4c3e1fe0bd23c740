#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "OrvexCore/Diff/DiffDisplayItem.hpp"
#include "OrvexCore/Diff/DiffLine.hpp"

/// Hides the middle of long runs of context lines behind numbered fold markers. Stateless and
/// thread-safe; any executor. A run of context lines longer than the threshold keeps its first
/// and last line. A threshold below 1 behaves as 1, so no line is ever shown twice and no
/// fold hides a negative number of lines. Lines are copied as values whose text views the same
/// bytes as the input's (see `DiffLine::text`): keep the hunks they came from alive.
namespace OrvexCore::DiffFolder {

/// `lines` with every context run longer than `threshold` folded; folds are numbered 1, 2, ...
/// in order of appearance.
std::vector<DiffDisplayItem> fold(const std::vector<DiffLine>& lines, std::int64_t threshold);

/// The lines to show with at most one fold open: the same folds as `fold` with the same
/// `threshold` (same numbers), each showing only its first and last line, except the run of
/// fold `expandedFoldID`, shown whole. An id that matches no fold opens nothing.
std::vector<DiffLine> displayLines(const std::vector<DiffLine>& from, std::int64_t threshold,
                                   std::optional<std::int64_t> expandedFoldID);

/// The lines of `items` in order, fold markers dropped.
std::vector<DiffLine> flatten(const std::vector<DiffDisplayItem>& items);

} // namespace OrvexCore::DiffFolder
