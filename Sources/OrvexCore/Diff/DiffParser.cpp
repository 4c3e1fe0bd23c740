#include "OrvexCore/Diff/DiffParser.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::DiffParser {
namespace {

using Counter = std::optional<std::int64_t>;

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

/// Room for the lines a header announces ("@@ -a,b +c,d @@": at most b + d, plus the header
/// and two notices), but never more than the `remaining` bytes can hold: every line takes at
/// least two bytes, its marker and its line feed.
size_t announcedLineCount(std::string_view header, size_t remaining) {
    size_t total = 3;
    for (std::string_view piece : Text::split(header.substr(2), ' ', false)) {
        if (piece.starts_with("@@")) {
            break;
        }
        if (piece[0] != '-' && piece[0] != '+') {
            continue;
        }
        size_t comma = piece.find(',');
        size_t count = 1;
        if (comma != std::string_view::npos) {
            auto digits = piece.substr(comma + 1);
            std::from_chars(digits.data(), digits.data() + digits.size(), count);
        }
        total += std::min(count, remaining);
    }
    return std::min(total, remaining / 2 + 3);
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
    // Lines before the first hunk header are dropped, so only the text from there on is kept.
    size_t first = 0;
    if (!patch.starts_with("@@")) {
        first = patch.find("\n@@");
        if (first == std::string_view::npos) {
            return hunks;
        }
        ++first;
    }
    // One copy of the patch that every line views: a heap string per line would make the
    // allocator the parser's main cost.
    auto storage = std::make_shared<const std::string>(patch.substr(first));
    const char* p = storage->data();
    const char* const end = p + storage->size();

    std::vector<DiffLine>* lines = nullptr;
    Counter old = 0;
    Counter new_ = 0;
    auto closeHunk = [&] {
        // A header announcing far more lines than follow only reserved room; give it back.
        if (lines != nullptr && lines->capacity() > 2 * lines->size() + 64) {
            lines->shrink_to_fit();
        }
    };

    // Lines end at line feeds only; a carriage return stays in the text. A final line feed
    // ends the last line: git ends every patch with one, and an empty line after it would be
    // a context line that is in neither file. The text starts with a hunk header, so every
    // line below belongs to a hunk.
    while (p < end) {
        const char* found =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = found ? found : end;
        const std::string_view line(p, static_cast<size_t>(stop - p));
        p = found ? found + 1 : end;

        // The marker is the line's first byte, always one ASCII character in git's output. It
        // is not read as part of a user-perceived character: a file line that starts with a
        // combining mark would otherwise fuse with it ("+" and U+0301 are one character) and
        // the line would lose its kind, shifting the numbers of every line after it.
        switch (line.empty() ? '\0' : line[0]) {
        case '+':
            lines->push_back(DiffLine{DiffLineKind::addition, std::nullopt, new_, line.substr(1)});
            advance(new_);
            continue;
        case '-':
            lines->push_back(DiffLine{DiffLineKind::deletion, old, std::nullopt, line.substr(1)});
            advance(old);
            continue;
        case ' ':
            lines->push_back(DiffLine{DiffLineKind::context, old, new_, line.substr(1)});
            advance(old);
            advance(new_);
            continue;
        case '\\':
            lines->push_back(DiffLine{DiffLineKind::context, std::nullopt, std::nullopt, line});
            continue;
        default:
            break;
        }
        if (line.starts_with("@@")) {
            closeHunk();
            DiffHunk& hunk = hunks.emplace_back();
            hunk.storage = storage;
            lines = &hunk.lines;
            lines->reserve(announcedLineCount(line, static_cast<size_t>(end - p)));
            auto [oldStart, newStart] = parseHunkHeader(line);
            old = oldStart;
            new_ = newStart;
            lines->push_back(DiffLine{DiffLineKind::hunkHeader, std::nullopt, std::nullopt, line});
        } else {
            lines->push_back(DiffLine{DiffLineKind::context, old, new_, line});
            advance(old);
            advance(new_);
        }
    }
    closeHunk();
    return hunks;
}

} // namespace OrvexCore::DiffParser
