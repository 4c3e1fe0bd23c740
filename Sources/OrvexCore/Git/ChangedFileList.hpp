#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "OrvexCore/Git/FileDiff.hpp"

namespace OrvexCore {

/// A worktree's changed files, held compactly: every path lives in one text buffer (git's own
/// output, kept as it was read) and each file adds one small fixed-size record. A listing of
/// 100,000 files thus costs little more than git's output itself, where a vector of
/// `FileDiff` costs several times that. Immutable once built; cheap to move.
class ChangedFileList {
public:
    /// One file: `path` views the list's buffer and lives as long as the list.
    struct Entry {
        std::string_view path;
        std::int64_t added = 0;
        std::int64_t removed = 0;
        /// As `FileDiff::status`.
        char status = 'M';
    };

    ChangedFileList() = default;

    /// Takes `text` and one record per file: `records[i]` names the path at
    /// `text.substr(offset, length)`. Sorts the files by path (byte order, which for UTF-8 is
    /// Unicode scalar order; files with equal paths keep their order) and gives every file of
    /// a path that occurs more than once the counts of its last occurrence.
    /// The status shares a word with the length (no path comes near 16 MB), so that it costs
    /// a long listing nothing.
    struct Record {
        std::uint32_t offset = 0;
        std::uint32_t length : 24 = 0;
        std::uint32_t status : 8 = 'M';
        std::int64_t added = 0;
        std::int64_t removed = 0;
    };
    ChangedFileList(std::string text, std::vector<Record> records);

    /// The list of `files` (already sorted, as `GitService::diff` returns them).
    static ChangedFileList of(const std::vector<FileDiff>& files);

    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    Entry operator[](std::size_t index) const {
        const Record& r = records_[index];
        return {std::string_view(text_).substr(r.offset, r.length), r.added, r.removed,
                static_cast<char>(r.status)};
    }

    /// Every file as a `FileDiff` with an empty patch, in the list's order.
    std::vector<FileDiff> fileDiffs() const;

private:
    std::string text_;
    std::vector<Record> records_;
};

} // namespace OrvexCore
