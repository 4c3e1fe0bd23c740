#include "OrvexCore/Git/WorktreePorcelain.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::WorktreePorcelain {
namespace {

constexpr std::string_view worktreePrefix = "worktree ";
constexpr std::string_view branchPrefix = "branch ";
constexpr std::string_view headsPrefix = "refs/heads/";

} // namespace

std::vector<WorktreeInfo> parse(std::string_view output, char separator) {
    std::vector<WorktreeInfo> records;
    std::optional<std::string> path;
    std::optional<std::string> branch;
    auto emit = [&] {
        if (path) {
            records.push_back(WorktreeInfo{std::move(*path), std::move(branch)});
        }
        path.reset();
        branch.reset();
    };

    for (auto line : Text::split(output, separator, true)) {
        if (line.starts_with(worktreePrefix)) {
            emit();
            path = Paths::resolvingSymlinks(line.substr(worktreePrefix.size()));
        } else if (line.starts_with(branchPrefix)) {
            // Only the leading prefix goes: "refs/heads/" may also occur inside a branch
            // name ("fix/refs/heads/x"), and that part belongs to the name.
            auto ref = line.substr(branchPrefix.size());
            if (ref.starts_with(headsPrefix)) {
                ref.remove_prefix(headsPrefix.size());
            }
            branch = std::string(ref);
        } else if (line.empty()) {
            emit();
        }
    }
    emit();

    if (records.empty()) {
        return records;
    }
    std::string mainPath = records.front().path;
    std::erase_if(records, [&](const WorktreeInfo& info) { return info.path == mainPath; });
    return records;
}

} // namespace OrvexCore::WorktreePorcelain
