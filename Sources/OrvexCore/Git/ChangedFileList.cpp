#include "OrvexCore/Git/ChangedFileList.hpp"

#include <algorithm>
#include <utility>

namespace OrvexCore {

ChangedFileList::ChangedFileList(std::string text, std::vector<Record> records)
    : text_(std::move(text)), records_(std::move(records)) {
    // std::sort with the position as the tie-break is a stable sort that needs no buffer;
    // std::stable_sort would take one as large as the records.
    auto path = [this](const Record& r) {
        return std::string_view(text_).substr(r.offset, r.length);
    };
    std::sort(records_.begin(), records_.end(), [&](const Record& a, const Record& b) {
        int order = path(a).compare(path(b));
        return order != 0 ? order < 0 : a.offset < b.offset;
    });
    // Equal paths are now side by side, the last occurrence last: it gives the counts.
    for (size_t end = records_.size(); end > 0;) {
        size_t start = end - 1;
        while (start > 0 && path(records_[start - 1]) == path(records_[end - 1])) {
            --start;
        }
        for (size_t i = start; i + 1 < end; ++i) {
            records_[i].added = records_[end - 1].added;
            records_[i].removed = records_[end - 1].removed;
        }
        end = start;
    }
}

ChangedFileList ChangedFileList::of(const std::vector<FileDiff>& files) {
    std::string text;
    std::vector<Record> records;
    records.reserve(files.size());
    for (const auto& file : files) {
        records.push_back({static_cast<std::uint32_t>(text.size()),
                           static_cast<std::uint32_t>(file.path.size()),
                           static_cast<std::uint8_t>(file.status), file.added, file.removed});
        text += file.path;
    }
    return ChangedFileList(std::move(text), std::move(records));
}

std::vector<FileDiff> ChangedFileList::fileDiffs() const {
    std::vector<FileDiff> files;
    files.reserve(size());
    for (size_t i = 0; i < size(); ++i) {
        auto entry = (*this)[i];
        files.push_back(
            FileDiff{std::string(entry.path), entry.added, entry.removed, {}, entry.status});
    }
    return files;
}

} // namespace OrvexCore
