#pragma once

namespace OrvexCore {

/// Where a dragged terminal cell is dropped on its target cell.
enum class DropEdge { left, right, top, bottom, center };

} // namespace OrvexCore
