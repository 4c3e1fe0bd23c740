#pragma once

#include <cstdint>
#include <optional>

#include "OrvexCore/Terminal/DropEdge.hpp"
#include "OrvexCore/Terminal/TerminalLayout.hpp"

/// Moving a terminal's cell within a grid layout by drag and drop. Pure functions; any thread.
namespace OrvexCore::LayoutReorder {

/// A cell's place: row index (top is 0) and column index (left is 0).
struct Position {
    std::int64_t row;
    std::int64_t col;

    friend bool operator==(const Position&, const Position&) = default;
};

/// The layout after dropping `dragged` on `target` at `edge`: next to the target in its row
/// (`left`, `right`), in a new row of its own above or below the target's row (`top`,
/// `bottom`), or swapped with the target (`center`). Unchanged when both are the same or either
/// is missing.
TerminalLayout apply(const TerminalLayout& layout, const UUID& dragged, const UUID& target,
                     DropEdge edge);

/// The first occurrence of `id`, reading rows top to bottom and each left to right.
std::optional<Position> position(const UUID& id, const TerminalLayout& layout);

/// `layout` without any occurrence of `id` and without empty rows (also those already empty).
TerminalLayout remove(const UUID& id, const TerminalLayout& layout);

} // namespace OrvexCore::LayoutReorder
