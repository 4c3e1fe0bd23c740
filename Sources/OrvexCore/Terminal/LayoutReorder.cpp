#include "OrvexCore/Terminal/LayoutReorder.hpp"

#include <algorithm>

namespace OrvexCore::LayoutReorder {

std::optional<Position> position(const UUID& id, const TerminalLayout& layout) {
    for (size_t row = 0; row < layout.size(); ++row) {
        const auto& cells = layout[row];
        const auto found = std::find(cells.begin(), cells.end(), id);
        if (found != cells.end()) {
            return Position{static_cast<std::int64_t>(row), found - cells.begin()};
        }
    }
    return std::nullopt;
}

TerminalLayout remove(const UUID& id, const TerminalLayout& layout) {
    TerminalLayout result;
    result.reserve(layout.size());
    for (const auto& row : layout) {
        std::vector<UUID> kept;
        kept.reserve(row.size());
        std::copy_if(row.begin(), row.end(), std::back_inserter(kept),
                     [&id](const UUID& cell) { return cell != id; });
        if (!kept.empty()) {
            result.push_back(std::move(kept));
        }
    }
    return result;
}

TerminalLayout apply(const TerminalLayout& layout, const UUID& dragged, const UUID& target,
                     DropEdge edge) {
    if (dragged == target) {
        return layout;
    }
    const auto from = position(dragged, layout);
    const auto to = position(target, layout);
    if (!from || !to) {
        return layout;
    }
    if (edge == DropEdge::center) {
        TerminalLayout swapped = layout;
        swapped[from->row][from->col] = target;
        swapped[to->row][to->col] = dragged;
        return swapped;
    }
    // The target is looked up again after the removal: its row index must account for a row
    // that vanished when the dragged terminal left it.
    TerminalLayout result = remove(dragged, layout);
    const auto at = position(target, result);
    if (!at) {
        return layout;
    }
    auto& row = result[at->row];
    switch (edge) {
    case DropEdge::left:
        row.insert(row.begin() + at->col, dragged);
        break;
    case DropEdge::right:
        row.insert(row.begin() + at->col + 1, dragged);
        break;
    case DropEdge::top:
        result.insert(result.begin() + at->row, std::vector<UUID>{dragged});
        break;
    case DropEdge::bottom:
        result.insert(result.begin() + at->row + 1, std::vector<UUID>{dragged});
        break;
    case DropEdge::center:
        break;
    }
    return result;
}

} // namespace OrvexCore::LayoutReorder
