// The reader of `git worktree list --porcelain` output on any bytes. Every record must come
// from a path line of the input, the main worktree (the first record) must never be listed,
// and a branch must be a name given in the input, without its "refs/heads/" prefix.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "OrvexCore/Git/WorktreePorcelain.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

using namespace OrvexCore;

namespace {

std::size_t occurrences(std::string_view text, std::string_view piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

/// What ends a field of the output: the listing reads git's NUL-separated (-z) format.
constexpr char fieldEnd = '\0';

/// The path of the first record: the text after the first "worktree " that starts a field,
/// up to the end of that field.
std::optional<std::string_view> firstPath(std::string_view output) {
    constexpr std::string_view prefix = "worktree ";
    for (auto at = output.find(prefix); at != std::string_view::npos;
         at = output.find(prefix, at + 1)) {
        if (at == 0 || output[at - 1] == fieldEnd) {
            const auto start = at + prefix.size();
            const auto end = output.find(fieldEnd, start);
            return output.substr(start, end == std::string_view::npos ? end : end - start);
        }
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = OrvexFuzz::asText(data, size);
    const auto records = WorktreePorcelain::parse(output, fieldEnd);

    // The first record is the main worktree and is left out, so there is at least one
    // "worktree " line more than there are records.
    FUZZ_CHECK(records.empty() || records.size() < occurrences(output, "worktree "));
    const auto main = firstPath(output);
    FUZZ_CHECK(records.empty() || main);
    const auto mainPath = main ? Paths::resolvingSymlinks(*main) : std::string();
    for (const auto& record : records) {
        FUZZ_CHECK(record.path != mainPath);
        FUZZ_CHECK(record.path.find(fieldEnd) == std::string::npos);
        if (record.branch) {
            const std::string line = "branch " + *record.branch;
            const std::string full = "branch refs/heads/" + *record.branch;
            FUZZ_CHECK(output.find(full) != std::string_view::npos ||
                       (output.find(line) != std::string_view::npos &&
                        !record.branch->starts_with("refs/heads/")));
            FUZZ_CHECK(record.branch->find(fieldEnd) == std::string::npos);
        }
    }
    // Parsing the same output twice gives the same records (no state between calls).
    FUZZ_CHECK(WorktreePorcelain::parse(output, fieldEnd) == records);
    return 0;
}
