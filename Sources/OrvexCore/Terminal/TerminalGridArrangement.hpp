#pragma once

#include <cstdint>
#include <vector>

#include "OrvexCore/Terminal/TerminalLayout.hpp"
#include "OrvexCore/Terminal/TerminalRef.hpp"

/// What a grid view draws: the terminal records in reading order and the length of each row.
namespace OrvexCore::TerminalGridArrangement {

struct Arrangement {
    /// The records whose ids stand in the rows, row by row, left to right.
    std::vector<TerminalRef> ordered;
    /// Each row's length as given, counting ids that have no record.
    std::vector<std::int64_t> rowSizes;

    friend bool operator==(const Arrangement&, const Arrangement&) = default;
};

/// The arrangement of `refs` by `rows` (normally `layout(for:)` and `terminals(for:)` of one
/// session). Ids without a record are skipped in `ordered`; records in no row are left out.
/// When `refs` holds one id twice, the first record wins. Pure; any thread.
Arrangement arrange(const TerminalLayout& rows, const std::vector<TerminalRef>& refs);

} // namespace OrvexCore::TerminalGridArrangement
