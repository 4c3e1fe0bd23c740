#include "orvex/PatchView.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "OrvexCore/Diff/DiffFolder.hpp"
#include "OrvexCore/Diff/DiffParser.hpp"
#include "OrvexCore/Diff/WordDiff.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace Orvex {

using OrvexCore::DiffLine;
using OrvexCore::DiffLineKind;
using OrvexCore::WordSpan;

std::string printable(std::string_view text) {
    std::string clean = OrvexCore::Text::sanitizedUTF8(text);
    std::string out;
    out.reserve(clean.size());
    for (char c : clean) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            out += '^';
            out += static_cast<char>(byte == 0x7f ? '?' : byte + 0x40);
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

/// Word spans of the lines that have a partner: the i-th deletion and the i-th addition of
/// each block of consecutive changed lines. Indexed like `lines`; empty where unpaired.
std::vector<std::vector<WordSpan>> pairedSpans(const std::vector<DiffLine>& lines) {
    std::vector<std::vector<WordSpan>> spans(lines.size());
    std::size_t i = 0;
    while (i < lines.size()) {
        if (lines[i].kind != DiffLineKind::deletion && lines[i].kind != DiffLineKind::addition) {
            ++i;
            continue;
        }
        std::vector<std::size_t> deletions;
        std::vector<std::size_t> additions;
        while (i < lines.size() && (lines[i].kind == DiffLineKind::deletion ||
                                    lines[i].kind == DiffLineKind::addition)) {
            (lines[i].kind == DiffLineKind::deletion ? deletions : additions).push_back(i);
            ++i;
        }
        std::size_t pairs = std::min(deletions.size(), additions.size());
        for (std::size_t k = 0; k < pairs; ++k) {
            auto [old, new_] =
                OrvexCore::WordDiff::diff(lines[deletions[k]].text, lines[additions[k]].text);
            spans[deletions[k]] = std::move(old);
            spans[additions[k]] = std::move(new_);
        }
    }
    return spans;
}

std::string number(const std::optional<std::int64_t>& n, std::size_t width) {
    return fmt::format("{:>{}}", n ? std::to_string(*n) : std::string(), width);
}

} // namespace

void PatchView::add(std::string& out, std::string_view path, std::string_view patch,
                    bool reviewed) {
    const Style& style = options_.style;
    std::string header = "diff " + printable(path);
    out += style.bold(header) + (reviewed ? "  " + style.green("[reviewed]") : "") + "\n";

    auto hunks = OrvexCore::DiffParser::parse(patch);
    if (hunks.empty()) {
        std::string notice = "(no textual changes)";
        for (auto piece : OrvexCore::Text::split(patch, '\n', false)) {
            if (piece.starts_with("Binary files") || piece.starts_with("[diff truncated")) {
                notice = std::string(piece);
            }
        }
        if (patch.empty()) {
            notice = "(unchanged)";
        }
        out += "  " + style.dim(printable(notice)) + "\n\n";
        return;
    }

    std::vector<DiffLine> lines;
    std::int64_t largest = 0;
    for (auto& hunk : hunks) {
        for (auto& line : hunk.lines) {
            largest = std::max({largest, line.oldLine.value_or(0), line.newLine.value_or(0)});
            lines.push_back(std::move(line));
        }
    }
    std::size_t width = std::max<std::size_t>(4, std::to_string(largest).size());
    auto spans = pairedSpans(lines);
    auto items = OrvexCore::DiffFolder::fold(lines, options_.threshold);

    auto drawLine = [&](std::size_t index) {
        const DiffLine& line = lines[index];
        if (line.kind == DiffLineKind::hunkHeader) {
            out += style.cyan(printable(line.text)) + "\n";
            return;
        }
        std::string gutter =
            number(line.oldLine, width) + " " + number(line.newLine, width) + " | ";
        std::string_view colour = line.kind == DiffLineKind::addition   ? "32"
                                  : line.kind == DiffLineKind::deletion ? "31"
                                                                        : "";
        std::string marker = line.kind == DiffLineKind::addition   ? "+"
                             : line.kind == DiffLineKind::deletion ? "-"
                                                                   : " ";
        if (!line.oldLine && !line.newLine) {
            // A notice such as git's "\ No newline at end of file".
            out += style.dim(gutter) + style.dim(printable(line.text)) + "\n";
            return;
        }
        std::string body;
        if (colour.empty()) {
            body = " " + printable(line.text);
        } else if (!spans[index].empty() && style.color) {
            body = style.paint(marker, colour);
            std::string changedColour = std::string(colour) + ";7";
            for (const auto& span : spans[index]) {
                body += style.paint(printable(span.text), span.changed ? changedColour : colour);
            }
        } else {
            body = style.paint(marker + printable(line.text), colour);
        }
        out += style.dim(gutter) + body + "\n";
    };

    std::size_t cursor = 0;
    for (const auto& item : items) {
        if (item.lineIfAny() != nullptr) {
            drawLine(cursor++);
            continue;
        }
        const auto& fold = *item.collapsedIfAny();
        std::int64_t id = folds_ + fold.foldID;
        if (options_.expanded.contains(id)) {
            for (std::int64_t k = 0; k < fold.count; ++k) {
                drawLine(cursor++);
            }
            continue;
        }
        cursor += static_cast<std::size_t>(fold.count);
        std::string blank(width, ' ');
        std::string marker = fmt::format("... {} unchanged {} folded (fold {}: --expand {})",
                                         fold.count, fold.count == 1 ? "line" : "lines", id, id);
        out += style.dim(blank + " " + blank + " | ") + style.dim(marker) + "\n";
    }
    std::int64_t local = 0;
    for (const auto& item : items) {
        if (const auto* fold = item.collapsedIfAny()) {
            local = std::max(local, fold->foldID);
        }
    }
    folds_ += local;
    out += "\n";
}

} // namespace Orvex
