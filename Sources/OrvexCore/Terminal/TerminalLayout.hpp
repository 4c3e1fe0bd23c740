#pragma once

#include <cstdint>
#include <vector>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

/// A session's terminal grid: rows, top row first, each a list of terminal ids left to right.
using TerminalLayout = std::vector<std::vector<UUID>>;

/// How many terminals a grid is to have in each row, top row first. A negative size counts
/// as 0 wherever a shape is read.
using TerminalGridShape = std::vector<std::int64_t>;

} // namespace OrvexCore
