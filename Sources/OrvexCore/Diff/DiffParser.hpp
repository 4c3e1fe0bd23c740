#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvexCore/Diff/DiffHunk.hpp"

/// Turns the unified diff of one file into hunks of typed, numbered lines. Stateless and
/// thread-safe; any executor.
namespace OrvexCore::DiffParser {

/// Patches longer than this many bytes are not parsed at all.
inline constexpr std::size_t maximumPatchBytes = 52'428'800;

/// The hunks of `patch` in patch order. Never throws except `std::bad_alloc`. Lines end at
/// line feeds only (carriage returns stay in the text) and a final line feed ends the last
/// line rather than starting an empty one. Inside a hunk the first byte decides the kind: "+"
/// addition, "-" deletion, a backslash a notice (context, no numbers), anything else context. A
/// patch over `maximumPatchBytes` or without a hunk header gives no hunks; lines before the first
/// hunk header are dropped.
std::vector<DiffHunk> parse(std::string_view patch);

/// The starting (old, new) line numbers announced by a hunk header such as
/// "@@ -a,b +c,d @@ section". Each side defaults to 1 when no readable number is given;
/// the section text after the closing "@@" is never read. Never throws.
std::pair<std::int64_t, std::int64_t> parseHunkHeader(std::string_view line);

} // namespace OrvexCore::DiffParser
