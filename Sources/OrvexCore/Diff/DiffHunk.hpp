#pragma once

#include <vector>

#include "OrvexCore/Diff/DiffLine.hpp"

namespace OrvexCore {

/// One hunk of a patch. `lines` is never empty when made by `DiffParser::parse`: its first
/// line is the hunk's header (kind `hunkHeader`).
struct DiffHunk {
    std::vector<DiffLine> lines;

    friend bool operator==(const DiffHunk&, const DiffHunk&) = default;
};

} // namespace OrvexCore
