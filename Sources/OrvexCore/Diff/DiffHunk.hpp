#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvexCore/Diff/DiffLine.hpp"

namespace OrvexCore {

/// One hunk of a patch. `lines` is never empty when made by `DiffParser::parse`: its first
/// line is the hunk's header (kind `hunkHeader`).
struct DiffHunk {
    std::vector<DiffLine> lines;
    /// The text the lines view: one copy of the patch shared by every hunk of one parse, alive
    /// while any of them is. Null for hunks made by hand.
    std::shared_ptr<const std::string> storage = nullptr;

    /// Equal when the lines are; where their text is stored does not matter.
    friend bool operator==(const DiffHunk& a, const DiffHunk& b) { return a.lines == b.lines; }
};

} // namespace OrvexCore
