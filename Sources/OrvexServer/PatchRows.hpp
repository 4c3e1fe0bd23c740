#pragma once

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

namespace OrvexServer {

/// One file's patch made ready to draw, so that the page only renders: the patch parsed into
/// lines with their numbers, long unchanged runs folded and the changed words of paired lines
/// marked.
///
/// The answer is `{"rows": [...], "notice": text or null, "lines": n}`. A row is a line,
/// `[kind, old, new, text]` with kind "h" (hunk header), "c" (unchanged), "+" or "-" and the
/// old and new line numbers (null where the line has none), plus for a changed line paired
/// with one of the other side a fifth element: its text cut into pieces, every odd piece
/// changed (`["let ", "x", " = 1"]`). Or a fold, `{"fold": id, "rows": [...]}`, the hidden
/// lines of a run of more than `foldThreshold` unchanged lines, between the run's first and
/// last line. `notice` holds what a patch without hunks says instead (a binary file, a
/// patch too large to show); `lines` counts every line, hidden or not.
nlohmann::json patchRows(std::string_view patch, std::int64_t foldThreshold);

} // namespace OrvexServer
