#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvexCore/Diff/DiffHunk.hpp"

namespace OrvexServer {

/// One file's patch parsed and folded once, handed out a window of rows at a time: a patch of
/// tens of thousands of lines costs the page only the rows it shows, and the server the word
/// diffs of those rows.
///
/// The rows are the patch's lines in order, with every run of more than `foldThreshold`
/// unchanged lines shortened to its first line, a fold marker and its last line; a fold the
/// caller names as open shows its hidden lines in place of the marker. A line row is
/// `[kind, old, new, text]` with kind "h" (hunk header), "c" (unchanged), "+" or "-" and the
/// old and new line numbers (null where the line has none), plus for a changed line paired
/// with one of the other side (the n-th deletion of a run with the n-th addition after it) a
/// fifth element when only part of it changed: its text cut into pieces, every odd piece
/// changed (`["let ", "x", " = 1"]`). A marker row is `{"fold": id, "count": hidden lines}`,
/// the folds numbered 1, 2, ... in patch order.
///
/// Immutable once made; any thread may read it.
class PatchRows {
public:
    /// Parses `patch` (text that is not valid UTF-8 is repaired first). A threshold below 1
    /// counts as 1.
    PatchRows(std::string patch, std::int64_t foldThreshold);

    /// The review mark's fingerprint of the patch as given.
    const std::string& fingerprint() const { return fingerprint_; }
    std::int64_t foldThreshold() const { return threshold_; }
    /// Every line of the patch, hidden or not.
    std::int64_t lineCount() const { return static_cast<std::int64_t>(lines_.size()); }
    /// What a patch without lines says instead (a binary file, a patch too large to show);
    /// null when it has lines.
    const nlohmann::json& notice() const { return notice_; }

    /// How many rows there are with the folds in `open` shown whole.
    std::int64_t rowCount(const std::set<std::int64_t>& open) const;

    /// `{"first": first, "total": rowCount(open), "rows": [...]}`: the rows from `first` on,
    /// at most `count` of them (none when `first` is at or past the end). Word pieces are
    /// computed for these rows only. `first` and `count` must not be negative.
    nlohmann::json window(std::int64_t first, std::int64_t count,
                          const std::set<std::int64_t>& open) const;

private:
    /// The lines a fold marker stands for: `count` lines from `from`.
    struct Fold {
        std::int64_t id;
        std::size_t from;
        std::size_t count;
    };

    nlohmann::json lineRow(std::size_t index, nlohmann::json pieces) const;

    std::string fingerprint_;
    std::int64_t threshold_;
    /// The hunks own the text the lines view.
    std::vector<OrvexCore::DiffHunk> hunks_;
    std::vector<OrvexCore::DiffLine> lines_;
    /// For a changed line, the line of the other side it pairs with; else -1.
    std::vector<std::int64_t> partner_;
    std::vector<Fold> folds_;
    nlohmann::json notice_;
};

} // namespace OrvexServer
