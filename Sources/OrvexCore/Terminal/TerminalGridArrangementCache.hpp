#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Terminal/TerminalGridArrangement.hpp"

namespace OrvexCore {

/// Remembers the last grid arrangement and recomputes it only when something the grid shows
/// has changed: the rows, or the id, exit state, exit code or title of a record (in order).
/// Used from one thread by its owner; no locking.
class TerminalGridArrangementCache {
public:
    TerminalGridArrangementCache() = default;
    TerminalGridArrangementCache(const TerminalGridArrangementCache&) = delete;
    TerminalGridArrangementCache& operator=(const TerminalGridArrangementCache&) = delete;

    /// As `TerminalGridArrangement::arrange`, from the cache when nothing shown has changed.
    /// The reference is valid until the next call.
    const TerminalGridArrangement::Arrangement& arrangement(const TerminalLayout& rows,
                                                            const std::vector<TerminalRef>& refs);

    /// How many times the arrangement has been computed.
    std::int64_t rebuildCount() const noexcept { return rebuildCount_; }

private:
    struct RefKey {
        UUID id;
        bool isExited;
        std::optional<std::int32_t> exitCode;
        std::string title;
    };
    struct Signature {
        TerminalLayout rows;
        std::vector<RefKey> refs;
    };

    static bool matches(const Signature& signature, const TerminalLayout& rows,
                        const std::vector<TerminalRef>& refs);

    std::optional<Signature> signature_;
    TerminalGridArrangement::Arrangement cached_;
    std::int64_t rebuildCount_ = 0;
};

} // namespace OrvexCore
