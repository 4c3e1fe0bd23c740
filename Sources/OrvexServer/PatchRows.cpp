#include "OrvexServer/PatchRows.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "OrvexCore/Diff/DiffFolder.hpp"
#include "OrvexCore/Diff/DiffParser.hpp"
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

/// Word pieces for each line that has them: a run of deletions directly followed by a run of
/// additions pairs its lines in order, the first deletion with the first addition.
std::vector<json> wordPieces(const std::vector<DiffLine>& lines) {
    std::vector<json> words(lines.size());
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
            const auto& oldLine = lines[deletions + k];
            const auto& newLine = lines[additions + k];
            auto [oldSpans, newSpans] = OrvexCore::WordDiff::diff(oldLine.text, newLine.text);
            if (worthShowing(oldSpans) || worthShowing(newSpans)) {
                words[deletions + k] = pieces(oldSpans);
                words[additions + k] = pieces(newSpans);
            }
        }
    }
    return words;
}

/// `line` views text already made valid UTF-8 (`patchRows` repairs the whole patch once).
json row(const DiffLine& line, json& words) {
    json out = json::array(
        {kindCode(line.kind), number(line.oldLine), number(line.newLine), std::string(line.text)});
    if (!words.is_null()) {
        out.push_back(std::move(words));
    }
    return out;
}

} // namespace

json patchRows(std::string_view patch, std::int64_t foldThreshold) {
    // git's patches are repaired already; one whole check keeps a row from ever failing to
    // encode, without a copy of every line.
    std::string repaired;
    if (!OrvexCore::JSONString::isValidUTF8(patch)) {
        repaired = OrvexCore::Text::sanitizedUTF8(patch);
        patch = repaired;
    }
    // The hunks own the text their lines view: they live as long as the lines are read.
    const auto hunks = OrvexCore::DiffParser::parse(patch);
    std::vector<DiffLine> lines;
    for (const auto& hunk : hunks) {
        lines.insert(lines.end(), hunk.lines.begin(), hunk.lines.end());
    }
    // git's patch ends with a line feed, which the parser reads as one more empty line.
    if (!lines.empty() && lines.back().kind == DiffLineKind::context && lines.back().text.empty() &&
        patch.ends_with('\n')) {
        lines.pop_back();
    }
    auto words = wordPieces(lines);
    json rows = json::array();
    size_t next = 0; // the fold's items come in input order: a line stands for the next line
    for (const auto& item :
         OrvexCore::DiffFolder::fold(lines, std::max<std::int64_t>(1, foldThreshold))) {
        if (item.lineIfAny()) {
            rows.push_back(row(lines[next], words[next]));
            ++next;
        } else if (const auto* fold = item.collapsedIfAny()) {
            json hidden = json::array();
            for (std::int64_t k = 0; k < fold->count; ++k, ++next) {
                hidden.push_back(row(lines[next], words[next]));
            }
            rows.push_back(json{{"fold", fold->foldID}, {"rows", std::move(hidden)}});
        }
    }
    json notice = nullptr;
    if (lines.empty()) {
        // The last thing git says of a file it shows no lines of: "Binary files ... differ",
        // a mode change, or the notice of a patch too large.
        auto shown = OrvexCore::Text::trimmed(patch);
        auto lastBreak = shown.rfind('\n');
        notice = OrvexCore::Text::sanitizedUTF8(
            lastBreak == std::string_view::npos ? shown : shown.substr(lastBreak + 1));
    }
    return json{{"rows", std::move(rows)},
                {"notice", std::move(notice)},
                {"lines", static_cast<std::int64_t>(lines.size())}};
}

} // namespace OrvexServer
