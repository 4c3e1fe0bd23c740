#include "orvex/ChangedFiles.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace Orvex {

void ChangedFiles::add(std::string_view path, std::int64_t added, std::int64_t removed,
                       char status) {
    if (path.size() > blockSize) {
        throw std::length_error("a changed file's path is too long to list");
    }
    if (blocks_.empty() || blockSize - usedInLastBlock_ < path.size()) {
        if (blocks_.size() >= std::numeric_limits<std::uint32_t>::max() / blockSize) {
            throw std::length_error("too many changed files to list");
        }
        blocks_.emplace_back(new char[blockSize]);
        usedInLastBlock_ = 0;
    }
    const std::size_t offset = (blocks_.size() - 1) * blockSize + usedInLastBlock_;
    if (!path.empty()) {
        std::memcpy(blocks_.back().get() + usedInLastBlock_, path.data(), path.size());
    }
    usedInLastBlock_ += path.size();
    entries_.push_back(Entry{static_cast<std::uint32_t>(offset),
                             static_cast<std::uint32_t>(path.size()),
                             static_cast<unsigned char>(status), added, removed});
}

void ChangedFiles::clear() {
    blocks_.clear();
    usedInLastBlock_ = blockSize;
    entries_.clear();
}

} // namespace Orvex
