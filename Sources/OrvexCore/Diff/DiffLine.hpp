#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "OrvexCore/Diff/DiffLineKind.hpp"

namespace OrvexCore {

/// One line of a parsed patch. A cheap value: the text is a view, not a copy.
struct DiffLine {
    DiffLineKind kind = DiffLineKind::context;
    /// 1-based number in the old file; absent for additions, hunk headers and notice lines
    /// (and past the largest representable number).
    std::optional<std::int64_t> oldLine;
    /// 1-based number in the new file; absent for deletions, hunk headers and notice lines
    /// (and past the largest representable number).
    std::optional<std::int64_t> newLine;
    /// The content without its marker character; the whole line for headers and notices.
    /// Bytes are kept as the patch had them, carriage returns and invalid UTF-8 included.
    /// The bytes are not owned: a parsed line views the patch text held by its `DiffHunk`
    /// (`DiffHunk::storage`), so it stays valid while that hunk or any copy of it lives; a
    /// line made by hand views whatever its maker keeps alive.
    std::string_view text;

    /// Field by field, the text by content.
    friend bool operator==(const DiffLine&, const DiffLine&) = default;
};

} // namespace OrvexCore
