#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace OrvexCore {

/// The printable output a terminal's status is read from: bytes appended a chunk at a time,
/// most recent last, cut back to `limit` bytes whenever a chunk leaves more than twice that.
///
/// The bytes live in a ring, so that neither appending nor cutting moves what is kept: a
/// terminal writes megabytes through a tail of a few kilobytes, and every byte is written
/// once. The ring is straightened only when the text is read as one piece (`view`), which
/// happens once per change of the text at most.
class OutputTail {
public:
    /// Free bytes the ring keeps behind the text while a chunk is written: a writer may put
    /// down up to 64 bytes it keeps plus 64 it will overwrite before it looks again.
    static constexpr std::size_t writeRoom = 128;

    OutputTail() = default;
    OutputTail(OutputTail&&) noexcept = default;
    OutputTail& operator=(OutputTail&&) noexcept = default;

    /// The text, in one piece. Straightens the ring first when the text wraps round its end.
    std::string_view view() const;
    std::size_t size() const noexcept { return size_; }

    /// Where one chunk's append stands. Kept by the writer as a plain value, so that its
    /// fields stay in registers while a chunk is written.
    struct Cursor {
        /// Where the next piece goes; `writeRoom` bytes from here may be written.
        char* out;
        /// The ring's end: bytes of a piece that run past it belong at the ring's start.
        char* ringEnd;
        /// Bytes of text that end at `out`, with the chunk's cut applied.
        std::size_t live;
        /// Above this many live bytes the text must be cut or the ring grown.
        std::size_t attention;
        std::size_t limit;
        /// The text passed twice the limit during the chunk.
        bool cut;
    };

    /// Starts appending one chunk whose text is cut back to `limit` bytes if it passes twice
    /// that.
    Cursor startChunk(std::size_t limit);

    /// The piece written at `cursor.out` ends at `end` (at most 64 bytes on); bytes written
    /// past `end` are not kept.
    void advance(Cursor& cursor, char* end) noexcept {
        cursor.live += static_cast<std::size_t>(end - cursor.out);
        if (end >= cursor.ringEnd) {
            const auto over = static_cast<std::size_t>(end - cursor.ringEnd);
            std::memcpy(data_.get(), cursor.ringEnd, over);
            end = data_.get() + over;
        }
        cursor.out = end;
        if (cursor.live > cursor.attention) {
            // Through a copy: a cursor that is the target of a call's result would live in
            // memory rather than in registers.
            const Cursor next = attend(cursor);
            cursor = next;
        }
    }

    /// Ends the chunk: the text is what the cursor holds. True when it changed.
    bool finishChunk(Cursor cursor) noexcept;

private:
    /// The text passed twice the limit or the ring is nearly full: cuts or grows.
    Cursor attend(Cursor cursor);
    /// Moves the last `live` bytes before `end` into a ring of at least `minimum` bytes.
    char* grow(const char* end, std::size_t live, std::size_t minimum);

    /// Ring of `capacity_` bytes (a power of two, or 0) followed by `writeRoom` spare bytes.
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
    /// Where the text starts in the ring; moves when `view` straightens the ring.
    mutable std::size_t start_ = 0;
    std::size_t size_ = 0;
    /// The size when the chunk being appended started.
    std::size_t sizeBefore_ = 0;
};

} // namespace OrvexCore
