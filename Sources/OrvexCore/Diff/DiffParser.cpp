#include "OrvexCore/Diff/DiffParser.hpp"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::DiffParser {
namespace {

using Counter = std::optional<std::int64_t>;

/// The marker is the line's first byte, always one ASCII character in git's output. It is not
/// read as part of a user-perceived character: a file line that starts with a combining mark
/// would otherwise fuse with it ("+" and U+0301 are one character) and the line would lose
/// its kind, shifting the numbers of every line after it.
bool startsWithMarker(std::string_view line, char marker) {
    return !line.empty() && line[0] == marker;
}

/// An optional sign followed by one or more ASCII digits and nothing else, within range.
std::optional<std::int64_t> readInteger(std::string_view text) {
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

/// The start number of a "-a,b" or "+c,d" range, given the text after its sign.
std::optional<std::int64_t> rangeStart(std::string_view range) {
    auto pieces = Text::split(range, ',', false);
    return readInteger(pieces.empty() ? std::string_view() : pieces.front());
}

/// Numbers past the largest representable one are unknown rather than wrapped.
void advance(Counter& counter) {
    if (counter && *counter < std::numeric_limits<std::int64_t>::max()) {
        ++*counter;
    } else {
        counter.reset();
    }
}

} // namespace

std::pair<std::int64_t, std::int64_t> parseHunkHeader(std::string_view line) {
    std::int64_t old = 1;
    std::int64_t new_ = 1;
    auto pieces = Text::split(line, ' ', false);
    for (size_t index = 0; index < pieces.size(); ++index) {
        std::string_view piece = pieces[index];
        // The closing "@@" ends the ranges. What follows is the section heading git copies
        // from the file, where a word like "-5" must not renumber the hunk.
        if (index > 0 && piece.starts_with("@@")) {
            break;
        }
        if (piece[0] == '-') {
            if (auto value = rangeStart(piece.substr(1))) {
                old = *value;
            }
        }
        if (piece[0] == '+') {
            if (auto value = rangeStart(piece.substr(1))) {
                new_ = *value;
            }
        }
    }
    return {old, new_};
}

std::vector<DiffHunk> parse(std::string_view patch) {
    std::vector<DiffHunk> hunks;
    if (patch.size() > maximumPatchBytes) {
        return hunks;
    }
    DiffHunk current;
    bool inHunk = false;
    Counter old = 0;
    Counter new_ = 0;

    // Lines end at line feeds only; a carriage return stays in the text. A final line feed
    // ends the last line: git ends every patch with one, and an empty line after it would be
    // a context line that is in neither file.
    size_t start = 0;
    while (start < patch.size()) {
        const char* found =
            static_cast<const char*>(std::memchr(patch.data() + start, '\n', patch.size() - start));
        size_t stop = found ? static_cast<size_t>(found - patch.data()) : patch.size();
        std::string_view line = patch.substr(start, stop - start);
        start = stop + 1;

        if (line.starts_with("@@")) {
            if (!current.lines.empty()) {
                hunks.push_back(std::move(current));
                current.lines.clear();
            }
            auto [oldStart, newStart] = parseHunkHeader(line);
            old = oldStart;
            new_ = newStart;
            current.lines.push_back(
                DiffLine{DiffLineKind::hunkHeader, std::nullopt, std::nullopt, std::string(line)});
            inHunk = true;
        } else if (!inHunk) {
            continue;
        } else if (startsWithMarker(line, '\\')) {
            current.lines.push_back(
                DiffLine{DiffLineKind::context, std::nullopt, std::nullopt, std::string(line)});
        } else if (startsWithMarker(line, '+')) {
            current.lines.push_back(
                DiffLine{DiffLineKind::addition, std::nullopt, new_, std::string(line.substr(1))});
            advance(new_);
        } else if (startsWithMarker(line, '-')) {
            current.lines.push_back(
                DiffLine{DiffLineKind::deletion, old, std::nullopt, std::string(line.substr(1))});
            advance(old);
        } else {
            std::string_view text = startsWithMarker(line, ' ') ? line.substr(1) : line;
            current.lines.push_back(DiffLine{DiffLineKind::context, old, new_, std::string(text)});
            advance(old);
            advance(new_);
        }
    }
    if (!current.lines.empty()) {
        hunks.push_back(std::move(current));
    }
    return hunks;
}

} // namespace OrvexCore::DiffParser
