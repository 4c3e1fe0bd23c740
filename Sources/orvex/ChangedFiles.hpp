#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

namespace Orvex {

/// A session's changed files as the command line prints them: path and line counts, the paths
/// packed into shared blocks. A session may change a hundred thousand files: one record with
/// strings of its own per file, or one buffer that doubles as it grows, would take several
/// times the size of the listing. Nothing here is ever moved as the list grows.
class ChangedFiles {
public:
    /// Appends a file with its status letter (A, M, D, R or B). Throws std::length_error for a
    /// path longer than a block (no file system has such paths) and once the paths pass 4 GiB.
    void add(std::string_view path, std::int64_t added, std::int64_t removed, char status = 'M');
    /// Forgets every file.
    void clear();

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    std::string_view path(std::size_t index) const {
        const Entry& entry = entries_[index];
        return {blocks_[entry.offset / blockSize].get() + entry.offset % blockSize, entry.size};
    }
    std::int64_t added(std::size_t index) const { return entries_[index].added; }
    std::int64_t removed(std::size_t index) const { return entries_[index].removed; }
    char status(std::size_t index) const { return static_cast<char>(entries_[index].status); }

    /// Bytes per block of paths.
    static constexpr std::size_t blockSize = 65536;

private:
    struct Entry {
        std::uint32_t offset;    ///< block index times blockSize, plus the place in the block
        std::uint32_t size : 24; ///< at most blockSize
        std::uint32_t status : 8;
        std::int64_t added;
        std::int64_t removed;
    };
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t usedInLastBlock_ = blockSize;
    std::deque<Entry> entries_;
};

} // namespace Orvex
