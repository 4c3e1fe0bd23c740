#pragma once

#include <cstdint>
#include <utility>
#include <variant>

#include "OrvexCore/Diff/DiffLine.hpp"

namespace OrvexCore {

/// One row of a folded diff: a line shown as it is, or a marker standing for hidden lines.
struct DiffDisplayItem {
    /// A fold marker: `count` hidden lines; `foldID` numbers the folds of one call 1, 2, ...
    struct Collapsed {
        std::int64_t count = 0;
        std::int64_t foldID = 0;
        friend bool operator==(const Collapsed&, const Collapsed&) = default;
    };

    std::variant<DiffLine, Collapsed> value;

    static DiffDisplayItem line(DiffLine line) { return {std::move(line)}; }
    static DiffDisplayItem collapsed(std::int64_t count, std::int64_t foldID) {
        return {Collapsed{count, foldID}};
    }

    /// The line of a `line` item, else null. Valid while this item lives unchanged.
    const DiffLine* lineIfAny() const { return std::get_if<DiffLine>(&value); }
    /// The marker of a `collapsed` item, else null. Valid while this item lives unchanged.
    const Collapsed* collapsedIfAny() const { return std::get_if<Collapsed>(&value); }

    friend bool operator==(const DiffDisplayItem&, const DiffDisplayItem&) = default;
};

} // namespace OrvexCore
