#include "OrvexCore/Status/OutputTail.hpp"

#include <algorithm>
#include <bit>

namespace OrvexCore {

namespace {

/// The smallest ring: a terminal that prints anything soon prints a line or two.
constexpr std::size_t smallestRing = 256;

} // namespace

std::string_view OutputTail::view() const {
    if (size_ == 0) {
        return {};
    }
    if (start_ + size_ > capacity_) {
        std::rotate(data_.get(), data_.get() + start_, data_.get() + capacity_);
        start_ = 0;
    }
    return {data_.get() + start_, size_};
}

char* OutputTail::grow(const char* end, std::size_t live, std::size_t minimum) {
    const std::size_t capacity = std::bit_ceil(std::max({minimum, 2 * capacity_, smallestRing}));
    auto fresh = std::make_unique_for_overwrite<char[]>(capacity + writeRoom);
    if (live > 0) {
        const auto endAt = static_cast<std::size_t>(end - data_.get());
        if (endAt >= live) {
            std::memcpy(fresh.get(), end - live, live);
        } else {
            const std::size_t wrapped = live - endAt;
            std::memcpy(fresh.get(), data_.get() + capacity_ - wrapped, wrapped);
            std::memcpy(fresh.get() + wrapped, data_.get(), endAt);
        }
    }
    data_ = std::move(fresh);
    capacity_ = capacity;
    start_ = 0;
    return data_.get() + live;
}

OutputTail::Cursor OutputTail::startChunk(std::size_t limit) {
    sizeBefore_ = size_;
    Cursor cursor{nullptr, nullptr, size_, 0, limit, false};
    if (capacity_ - size_ < writeRoom) {
        const std::string_view text = view();
        cursor.out = grow(text.data() + text.size(), size_, size_ + writeRoom);
    } else {
        cursor.out = data_.get() + ((start_ + size_) & (capacity_ - 1));
    }
    cursor.ringEnd = data_.get() + capacity_;
    cursor.attention = std::min(2 * limit, capacity_ - writeRoom);
    return cursor;
}

OutputTail::Cursor OutputTail::attend(Cursor cursor) {
    if (cursor.live > 2 * cursor.limit) {
        // Whatever follows, the chunk ends with more than twice the limit, so only its last
        // `limit` bytes will be kept.
        cursor.live = cursor.limit;
        cursor.cut = true;
    }
    if (capacity_ - cursor.live < writeRoom) {
        cursor.out = grow(cursor.out, cursor.live, cursor.live + writeRoom);
        cursor.ringEnd = data_.get() + capacity_;
    }
    cursor.attention = std::min(2 * cursor.limit, capacity_ - writeRoom);
    return cursor;
}

bool OutputTail::finishChunk(Cursor cursor) noexcept {
    if (cursor.cut || cursor.live > 2 * cursor.limit) {
        cursor.live = cursor.limit;
    }
    const auto endAt = static_cast<std::size_t>(cursor.out - data_.get());
    start_ = (endAt + capacity_ - cursor.live) & (capacity_ - 1);
    size_ = cursor.live;
    // Without a cut the text only grows, by what was written.
    return cursor.cut || size_ != sizeBefore_;
}

} // namespace OrvexCore
