// The unified diff parser on any bytes. Besides not crashing, the hunks must account for
// every input line from the first hunk header on, each line keeping its bytes and its kind,
// and the line numbers must follow from the hunk headers.

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "OrvexCore/Diff/DiffParser.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

using namespace OrvexCore;

namespace {

using Counter = std::optional<std::int64_t>;

/// The input's lines as the parser's contract defines them: split at line feeds, a final line
/// feed ending the last line.
std::vector<std::string_view> linesOf(std::string_view patch) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < patch.size()) {
        const auto stop = patch.find('\n', start);
        const auto end = stop == std::string_view::npos ? patch.size() : stop;
        lines.push_back(patch.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void expectNumber(const Counter& actual, Counter& expected) {
    FUZZ_CHECK(actual == expected);
    if (expected && *expected < std::numeric_limits<std::int64_t>::max()) {
        ++*expected;
    } else {
        expected.reset();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto patch = OrvexFuzz::asText(data, size);
    const auto hunks = DiffParser::parse(patch);

    const auto source = linesOf(patch);
    std::size_t next = 0;
    while (next < source.size() && !source[next].starts_with("@@")) {
        ++next;
    }

    std::size_t textBytes = 0;
    for (const auto& hunk : hunks) {
        FUZZ_CHECK(!hunk.lines.empty());
        const auto& header = hunk.lines.front();
        FUZZ_CHECK(header.kind == DiffLineKind::hunkHeader);
        FUZZ_CHECK(!header.oldLine && !header.newLine);
        auto [oldStart, newStart] = DiffParser::parseHunkHeader(header.text);
        Counter old = oldStart;
        Counter new_ = newStart;

        for (std::size_t i = 0; i < hunk.lines.size(); ++i, ++next) {
            const auto& line = hunk.lines[i];
            FUZZ_CHECK(next < source.size());
            const std::string_view from = source[next];
            const std::string_view text = line.text;
            textBytes += text.size();
            // Only the first line of a hunk is its header, and every header starts a hunk.
            FUZZ_CHECK((i == 0) == from.starts_with("@@"));
            switch (line.kind) {
            case DiffLineKind::hunkHeader:
                FUZZ_CHECK(i == 0 && text == from);
                break;
            case DiffLineKind::addition:
                FUZZ_CHECK(from.size() == text.size() + 1 && from[0] == '+' &&
                           from.substr(1) == text);
                FUZZ_CHECK(!line.oldLine);
                expectNumber(line.newLine, new_);
                break;
            case DiffLineKind::deletion:
                FUZZ_CHECK(from.size() == text.size() + 1 && from[0] == '-' &&
                           from.substr(1) == text);
                FUZZ_CHECK(!line.newLine);
                expectNumber(line.oldLine, old);
                break;
            case DiffLineKind::context:
                if (!from.empty() && from[0] == '\\') {
                    // A notice ("\ No newline at end of file") is shown whole and numbered
                    // in neither file.
                    FUZZ_CHECK(text == from && !line.oldLine && !line.newLine);
                } else {
                    FUZZ_CHECK(from.empty() || from[0] != '+');
                    FUZZ_CHECK(from.empty() || from[0] != '-');
                    FUZZ_CHECK((from.starts_with(" ") && from.substr(1) == text) || from == text);
                    expectNumber(line.oldLine, old);
                    expectNumber(line.newLine, new_);
                }
                break;
            }
        }
    }
    // Every line from the first hunk header on belongs to a hunk, and the lines hold no
    // more bytes than the patch.
    FUZZ_CHECK(next == source.size());
    FUZZ_CHECK(textBytes <= patch.size());
    return 0;
}
