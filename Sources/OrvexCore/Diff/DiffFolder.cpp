#include "OrvexCore/Diff/DiffFolder.hpp"

#include <algorithm>

namespace OrvexCore::DiffFolder {
namespace {

/// Walks `lines` run by run, calling `shown(line)` for every line shown outside a fold and
/// `folded(first, last, foldID)` for every run longer than the threshold. `fold` and
/// `displayLines` both number their folds through this one walk, so the numbers agree.
template <typename Shown, typename Folded>
void walk(const std::vector<DiffLine>& lines, std::int64_t threshold, Shown shown, Folded folded) {
    const auto limit = static_cast<std::uint64_t>(std::max<std::int64_t>(threshold, 1));
    std::int64_t foldCounter = 0;
    size_t index = 0;
    while (index < lines.size()) {
        if (lines[index].kind != DiffLineKind::context) {
            shown(lines[index]);
            ++index;
            continue;
        }
        size_t end = index;
        while (end < lines.size() && lines[end].kind == DiffLineKind::context) {
            ++end;
        }
        if (static_cast<std::uint64_t>(end - index) > limit) {
            folded(index, end - 1, ++foldCounter);
        } else {
            for (size_t i = index; i < end; ++i) {
                shown(lines[i]);
            }
        }
        index = end;
    }
}

} // namespace

std::vector<DiffDisplayItem> fold(const std::vector<DiffLine>& lines, std::int64_t threshold) {
    std::vector<DiffDisplayItem> items;
    items.reserve(lines.size());
    walk(
        lines, threshold,
        [&](const DiffLine& line) { items.push_back(DiffDisplayItem::line(line)); },
        [&](size_t first, size_t last, std::int64_t foldID) {
            items.push_back(DiffDisplayItem::line(lines[first]));
            items.push_back(
                DiffDisplayItem::collapsed(static_cast<std::int64_t>(last - first - 1), foldID));
            items.push_back(DiffDisplayItem::line(lines[last]));
        });
    return items;
}

std::vector<DiffLine> displayLines(const std::vector<DiffLine>& from, std::int64_t threshold,
                                   std::optional<std::int64_t> expandedFoldID) {
    std::vector<DiffLine> result;
    result.reserve(from.size());
    walk(
        from, threshold, [&](const DiffLine& line) { result.push_back(line); },
        [&](size_t first, size_t last, std::int64_t foldID) {
            if (expandedFoldID == foldID) {
                result.insert(result.end(), from.begin() + static_cast<std::ptrdiff_t>(first),
                              from.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            } else {
                result.push_back(from[first]);
                result.push_back(from[last]);
            }
        });
    return result;
}

std::vector<DiffLine> flatten(const std::vector<DiffDisplayItem>& items) {
    std::vector<DiffLine> lines;
    lines.reserve(items.size());
    for (const auto& item : items) {
        if (const DiffLine* line = item.lineIfAny()) {
            lines.push_back(*line);
        }
    }
    return lines;
}

} // namespace OrvexCore::DiffFolder
