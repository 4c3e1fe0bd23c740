#pragma once

namespace OrvexCore {

/// What one line of a parsed patch is. Hashable through `std::hash` of the enumeration.
enum class DiffLineKind { context, addition, deletion, hunkHeader };

} // namespace OrvexCore
