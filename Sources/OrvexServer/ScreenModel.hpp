#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace OrvexServer {

/// The screen of one terminal as a fresh terminal of the same size would show it after the
/// program's whole output: fed the program's bytes, it keeps the visible cells, the cursor,
/// the alternate screen, the title and the input modes the program switched on, and writes
/// them back out as bytes that repaint an attaching client's terminal.
///
/// Memory is bounded by the size: lines scrolled off the top are dropped (no scrollback), the
/// primary screen is copied once while the alternate screen is shown, the alternate buffer is
/// made only when a program first asks for it, strings (titles) are cut at 4 KiB, and output
/// not yet drawn is held up to 1 MiB.
/// Not thread-safe: one owner, one thread.
class ScreenModel {
public:
    /// A colour as the program chose it: the terminal's default, one of the 256 indexed
    /// colours, or a direct red-green-blue value.
    struct Colour {
        enum class Kind : std::uint8_t { defaultColour, indexed, rgb };
        Kind kind = Kind::defaultColour;
        std::uint8_t index = 0;
        std::uint8_t red = 0, green = 0, blue = 0;
        friend bool operator==(const Colour&, const Colour&) = default;
    };

    /// The rendition a cell is drawn with.
    struct Pen {
        bool bold = false;
        /// 0 none, 1 single, 2 double, 3 curly.
        std::uint8_t underline = 0;
        bool italic = false;
        bool blink = false;
        bool reverse = false;
        bool strike = false;
        /// Alternative font 0 (primary) to 9.
        std::uint8_t font = 0;
        Colour foreground;
        Colour background;
        friend bool operator==(const Pen&, const Pen&) = default;
    };

    /// One cell: its text (a character and its combining marks, UTF-8; empty for a cell
    /// never written or erased, "" too for the right half of a wide character, which has
    /// `width` 0), its width in columns and its pen.
    struct Cell {
        std::string text;
        int width = 1;
        Pen pen;
        friend bool operator==(const Cell&, const Cell&) = default;
    };

    /// Everything a client's eye can tell about the screen, for comparing two models.
    struct Snapshot {
        int rows = 0;
        int cols = 0;
        /// Row by row, `cols` cells each.
        std::vector<std::vector<Cell>> cells;
        int cursorRow = 0;
        int cursorCol = 0;
        bool cursorVisible = true;
        bool alternateScreen = false;
        std::string title;
        /// The input and layout modes that are on (private mode numbers, ascending).
        std::vector<int> modes;
        bool applicationKeypad = false;
        /// Top and bottom row of the scroll region, 1-based.
        std::pair<int, int> scrollRegion;
        /// The pen the program writes its next characters with.
        Pen pen;
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    /// A blank screen of `rows` by `cols` (at least 1 row and 2 columns; smaller values count
    /// as those).
    ScreenModel(int rows, int cols);
    ~ScreenModel();
    ScreenModel(const ScreenModel&) = delete;
    ScreenModel& operator=(const ScreenModel&) = delete;

    /// Takes the next chunk of the program's output. Sequences may be split anywhere between
    /// chunks. Never fails: what the terminal library does not understand is ignored.
    ///
    /// Output is held (up to 1 MiB) until the screen is next read, and then only what can
    /// still be seen is drawn: lines of plain text that scroll off the whole screen before the
    /// stretch ends are passed over. Every reading is the same as if each byte had been drawn.
    void feed(std::string_view bytes);

    /// Changes the size as the program's terminal was resized (at least 1 by 2). Text is cut
    /// or padded, not reflowed; the scroll region the program set is forgotten, as a real
    /// terminal forgets it.
    void resize(int rows, int cols);

    int rows() const;
    int cols() const;

    /// Bytes that, written to a terminal of `rows()` by `cols()` in any state, leave it
    /// showing this screen: every cell with its characters and pen, the primary screen under
    /// an alternate one, the cursor's place and visibility, the title, the scroll region,
    /// the cursor-key, keypad, mouse, focus and bracketed-paste modes, and finally the pen the
    /// program is writing with. The scroll region is always set explicitly, to the model's
    /// rows when the program set none, so a client keeping a status row below stays clear.
    std::string redraw() const;

    /// Bytes that put back the cursor's place and visibility, origin mode and the pen after a
    /// client drew something of its own elsewhere on its terminal (its status row).
    std::string restoreCursor() const;

    /// The visible text, one line per row with trailing blanks removed, rows joined by "\n".
    std::string text() const;

    /// The title the program last set (operating-system commands 0 and 2), control bytes
    /// removed; empty when it set none.
    std::string title() const;

    /// Cells, cursor, alternate screen and title, for comparison.
    Snapshot snapshot() const;

    /// The primary screen's cells while the alternate one is shown, else nothing.
    std::optional<std::vector<std::vector<Cell>>> primaryCells() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace OrvexServer
