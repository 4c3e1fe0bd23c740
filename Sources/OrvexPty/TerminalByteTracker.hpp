#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace OrvexPty {

/// What a terminal's output bytes alone say: whether the alternate screen is on, the shell's
/// prompt marks (OSC 133 A/B/C/D), bells, and the text of the row the cursor was last on.
///
/// A byte-level state machine whose state carries over from chunk to chunk. Rows are tracked
/// as a terminal draws them: a carriage return moves back to the row's start and later text
/// overwrites what was there, a line feed ends the row, erase-in-line cuts it at the cursor,
/// and a cursor move to another row starts a new one. Costs one pass over each byte and
/// allocates only while a row grows (bounded). Not thread-safe.
class TerminalByteTracker {
public:
    /// Where the shell stands according to its prompt marks.
    enum class ShellMark : std::uint8_t {
        /// No mark seen yet: the shell does not emit them.
        none,
        /// "A" or "B" (prompt drawn) or "D" (command finished) came last.
        atPrompt,
        /// "C" (command started) came last.
        commandRunning,
    };

    /// Feeds one chunk of output.
    void ingest(std::string_view bytes);

    bool alternateScreen() const noexcept { return alternateScreen_; }
    ShellMark shellMark() const noexcept { return shellMark_; }
    /// Bells in plain output since creation (a bell ending an operating-system command is not
    /// one).
    std::uint64_t bellCount() const noexcept { return bellCount_; }
    /// The last row that holds visible text: the cursor's row when it has any, else the last
    /// finished row with text. At most `maxRowBytes` bytes.
    std::string_view lastVisibleRow() const noexcept;

    static constexpr std::size_t maxRowBytes = 512;

private:
    enum class State : std::uint8_t { normal, escape, escapeIntermediate, csi, osc, oscEsc };

    void put(char byte);
    void endRow();
    void finishCSI(char final);
    void finishOSC();

    State state_ = State::normal;
    std::string params_;
    std::string osc_;
    std::string row_;
    std::size_t column_ = 0;
    std::string lastRow_;
    bool alternateScreen_ = false;
    ShellMark shellMark_ = ShellMark::none;
    std::uint64_t bellCount_ = 0;
};

} // namespace OrvexPty
