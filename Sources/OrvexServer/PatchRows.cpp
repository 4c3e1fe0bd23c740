#include "OrvexServer/PatchRows.hpp"

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>

#include "OrvexCore/Diff/DiffFolder.hpp"
#include "OrvexCore/Diff/DiffParser.hpp"
#include "OrvexCore/Diff/DiffReview.hpp"
#include "OrvexCore/Diff/WordDiff.hpp"
#include "OrvexCore/Util/JSONString.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexServer {
namespace {

using nlohmann::json;
using OrvexCore::DiffLine;
using OrvexCore::DiffLineKind;

const char* kindCode(DiffLineKind kind) {
    switch (kind) {
    case DiffLineKind::addition:
        return "+";
    case DiffLineKind::deletion:
        return "-";
    case DiffLineKind::hunkHeader:
        return "h";
    case DiffLineKind::context:
        break;
    }
    return "c";
}

json number(const std::optional<std::int64_t>& value) {
    return value ? json(*value) : json(nullptr);
}

/// Pieces alternating unchanged and changed, starting with unchanged (empty when the line
/// starts with a change).
json pieces(const std::vector<OrvexCore::WordSpan>& spans) {
    json out = json::array();
    for (const auto& span : spans) {
        const size_t slot = span.changed ? 1 : 0;
        if (out.empty() && span.changed) {
            out.push_back("");
        }
        if (out.size() % 2 == slot) {
            out.push_back(span.text);
        } else {
            out.back().get_ref<std::string&>() += span.text;
        }
    }
    return out;
}

/// A side whose spans are all changed (or all unchanged) gains nothing from highlighting.
bool worthShowing(const std::vector<OrvexCore::WordSpan>& spans) {
    bool anyChanged = false, anyKept = false;
    for (const auto& span : spans) {
        (span.changed ? anyChanged : anyKept) = true;
    }
    return anyChanged && anyKept;
}

/// The partner of each changed line: a run of deletions directly followed by a run of
/// additions pairs its lines in order, the first deletion with the first addition.
std::vector<std::int64_t> partners(const std::vector<DiffLine>& lines) {
    std::vector<std::int64_t> partner(lines.size(), -1);
    size_t i = 0;
    while (i < lines.size()) {
        if (lines[i].kind != DiffLineKind::deletion) {
            ++i;
            continue;
        }
        size_t deletions = i;
        while (i < lines.size() && lines[i].kind == DiffLineKind::deletion) {
            ++i;
        }
        size_t additions = i;
        while (i < lines.size() && lines[i].kind == DiffLineKind::addition) {
            ++i;
        }
        size_t pairs = std::min(additions - deletions, i - additions);
        for (size_t k = 0; k < pairs; ++k) {
            partner[deletions + k] = static_cast<std::int64_t>(additions + k);
            partner[additions + k] = static_cast<std::int64_t>(deletions + k);
        }
    }
    return partner;
}

} // namespace

PatchRows::PatchRows(std::string patch, std::int64_t foldThreshold)
    : fingerprint_(OrvexCore::DiffReview::fingerprint(patch)),
      threshold_(std::max<std::int64_t>(1, foldThreshold)) {
    // git's patches are valid text already; one whole check keeps a row from ever failing to
    // encode, without a copy of every line.
    if (!OrvexCore::JSONString::isValidUTF8(patch)) {
        patch = OrvexCore::Text::sanitizedUTF8(patch);
    }
    hunks_ = OrvexCore::DiffParser::parse(patch);
    for (const auto& hunk : hunks_) {
        lines_.insert(lines_.end(), hunk.lines.begin(), hunk.lines.end());
    }
    // git's patch ends with a line feed, which the parser reads as one more empty line.
    if (!lines_.empty() && lines_.back().kind == DiffLineKind::context &&
        lines_.back().text.empty() && patch.ends_with('\n')) {
        lines_.pop_back();
    }
    partner_ = partners(lines_);
    // The fold's items come in input order: a line item stands for the next line, a marker for
    // the `count` lines after it.
    std::size_t next = 0;
    for (const auto& item : OrvexCore::DiffFolder::fold(lines_, threshold_)) {
        if (item.lineIfAny()) {
            ++next;
        } else if (const auto* fold = item.collapsedIfAny()) {
            const auto count = static_cast<std::size_t>(std::max<std::int64_t>(0, fold->count));
            folds_.push_back(Fold{fold->foldID, next, count});
            next += count;
        }
    }
    if (lines_.empty()) {
        // The last thing git says of a file it shows no lines of: "Binary files ... differ",
        // a mode change, or the notice of a patch too large.
        std::string_view shown = OrvexCore::Text::trimmed(patch);
        auto lastBreak = shown.rfind('\n');
        notice_ =
            std::string(lastBreak == std::string_view::npos ? shown : shown.substr(lastBreak + 1));
    }
}

std::int64_t PatchRows::rowCount(const std::set<std::int64_t>& open) const {
    auto rows = static_cast<std::int64_t>(lines_.size());
    for (const auto& fold : folds_) {
        if (!open.contains(fold.id)) {
            rows -= static_cast<std::int64_t>(fold.count) - 1;
        }
    }
    return rows;
}

json PatchRows::lineRow(std::size_t index, json wordPieces) const {
    const DiffLine& line = lines_[index];
    json out = json::array(
        {kindCode(line.kind), number(line.oldLine), number(line.newLine), std::string(line.text)});
    if (!wordPieces.is_null()) {
        out.push_back(std::move(wordPieces));
    }
    return out;
}

json PatchRows::window(std::int64_t first, std::int64_t count,
                       const std::set<std::int64_t>& open) const {
    const std::int64_t total = rowCount(open);
    const std::int64_t end = first >= total ? first : first + std::min(count, total - first);

    // The lines in the window, and the markers, in row order: walk the folds, each closed one
    // taking one row for its hidden lines.
    struct Shown {
        std::int64_t line = -1; ///< a line's index, or -1 for a marker
        const Fold* fold = nullptr;
    };
    std::vector<Shown> shown;
    std::int64_t row = 0;
    std::size_t line = 0;
    auto plain = [&](std::size_t upTo) {
        // Lines [line, upTo) take rows [row, row + upTo - line).
        const auto length = static_cast<std::int64_t>(upTo - line);
        const std::int64_t from = std::max(first, row);
        const std::int64_t to = std::min(end, row + length);
        for (std::int64_t r = from; r < to; ++r) {
            shown.push_back(Shown{static_cast<std::int64_t>(line) + (r - row), nullptr});
        }
        row += length;
        line = upTo;
    };
    for (const auto& fold : folds_) {
        if (row >= end) {
            break;
        }
        plain(fold.from);
        if (open.contains(fold.id)) {
            plain(fold.from + fold.count);
        } else {
            if (row >= first && row < end) {
                shown.push_back(Shown{-1, &fold});
            }
            row += 1;
            line = fold.from + fold.count;
        }
    }
    if (row < end) {
        plain(lines_.size());
    }

    // Word pieces of the pairs with a line in the window, each pair compared once.
    std::map<std::int64_t, json> words;
    for (const auto& item : shown) {
        if (item.line < 0 || partner_[item.line] < 0 || words.contains(item.line)) {
            continue;
        }
        const std::int64_t other = partner_[item.line];
        const auto& a = lines_[std::min(item.line, other)];
        const auto& b = lines_[std::max(item.line, other)];
        auto [oldSpans, newSpans] = OrvexCore::WordDiff::diff(a.text, b.text);
        if (worthShowing(oldSpans) || worthShowing(newSpans)) {
            words[std::min(item.line, other)] = pieces(oldSpans);
            words[std::max(item.line, other)] = pieces(newSpans);
        } else {
            words[item.line] = nullptr;
            words[other] = nullptr;
        }
    }

    json rows = json::array();
    for (const auto& item : shown) {
        if (item.fold) {
            rows.push_back(json{{"fold", item.fold->id},
                                {"count", static_cast<std::int64_t>(item.fold->count)}});
            continue;
        }
        auto found = words.find(item.line);
        rows.push_back(lineRow(static_cast<std::size_t>(item.line),
                               found == words.end() ? json() : std::move(found->second)));
    }
    return json{{"first", first}, {"total", total}, {"rows", std::move(rows)}};
}

} // namespace OrvexServer
