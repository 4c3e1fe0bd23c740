#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "OrvexCore/Diff/DiffLineKind.hpp"

namespace OrvexCore {

/// One line of a parsed patch.
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
    std::string text;

    friend bool operator==(const DiffLine&, const DiffLine&) = default;
};

} // namespace OrvexCore
