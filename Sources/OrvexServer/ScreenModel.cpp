#include "OrvexServer/ScreenModel.hpp"

#include <algorithm>
#include <array>
#include <set>

#include <fmt/format.h>
#include <vterm.h>

namespace OrvexServer {

namespace {

constexpr std::uint32_t continuationMark = 0xFFFFFFFF;

/// Private modes (set with "CSI ? n h", reset with "CSI ? n l") that change how a client's
/// terminal reads input or lays out output, and which libvterm does not report. Each is put
/// back on an attaching client. 7 (auto-wrap) is on by default; the others are off.
constexpr std::array<int, 11> trackedModes = {1,    6,    7,    1000, 1002, 1003,
                                              1004, 1005, 1006, 1015, 2004};
constexpr int originMode = 6;
/// Longest string (title, device control) passed on to libvterm, which would otherwise hold a
/// string of any length in memory; the rest of a longer one is dropped.
constexpr std::size_t maxStringBytes = 4096;
constexpr int autoWrapMode = 7;
/// libvterm writes a wide character past the end of a row one column wide.
constexpr int minCols = 2;
/// Line feed also returns the carriage (ANSI mode 20).
constexpr int newLineMode = 20;
/// Left and right margins may be set (private mode 69).
constexpr int sideMarginMode = 69;

bool isAlternateScreenMode(int mode) {
    return mode == 47 || mode == 1047 || mode == 1049;
}

/// Follows the escape sequences of the program's output far enough to know the modes above,
/// the keypad mode and the scroll region, and to say where the program asks for the alternate
/// screen (so the primary screen can be copied just before libvterm switches away from it).
/// Sequences split between chunks are followed across them. Memory is fixed: parameters past
/// the sixteenth are ignored and values are capped.
class ModeTracker {
public:
    /// `skip`: drop this byte; `cancel`: put CAN in its place, which leaves libvterm outside any
    /// sequence (one this byte would end ends without acting).
    enum class Event { none, enterAlternate, skip, cancel };

    ModeTracker() { reset(); }

    /// Takes one byte; says whether it completes a request for the alternate screen.
    Event take(unsigned char byte) {
        // CAN and SUB abandon any sequence; ESC starts a new one from anywhere, except that
        // inside a string it may be the first half of the string terminator.
        if (byte == 0x18 || byte == 0x1a) {
            state_ = State::ground;
            return Event::none;
        }
        switch (state_) {
        case State::ground:
            if (byte == 0x1b) {
                state_ = State::escape;
                textBytesDue_ = 0;
            } else if (byte >= 0x80) {
                takeText(byte);
            } else if (byte >= 0x20 && byte < 0x7f) {
                notePrinted();
            }
            return Event::none;
        case State::escape:
            return afterEscape(byte);
        case State::escapeIntermediate:
            if (byte == 0x1b || byte == '[' || byte == ']' || byte == 'P') {
                // libvterm (0.1) starts a control sequence, a command string or a device
                // control string on these even after intermediates, as right after ESC.
                return afterEscape(byte);
            }
            if (byte >= 0x20 && byte <= 0x2f) {
                ++intermediates_;
            } else if (byte >= 0x30 && byte <= 0x7e) {
                state_ = State::ground;
                if (intermediates_ == 1 && firstIntermediate_ >= '(' && firstIntermediate_ <= '+') {
                    designate(firstIntermediate_ - '(', byte);
                }
            }
            return Event::none;
        case State::csi:
            return inCSI(byte);
        case State::csiDropped:
            if (byte == 0x1b) {
                state_ = State::escape;
                return Event::none;
            }
            if (byte >= 0x40 && byte <= 0x7e) {
                state_ = State::ground;
            }
            return Event::skip;
        case State::string:
            if (byte == 0x1b) {
                state_ = State::stringEscape;
            } else if (byte == 0x07) {
                state_ = State::ground;
                endString();
            } else if (dropString_ || ++stringLength_ > maxStringBytes) {
                return Event::skip;
            } else if (isOSC_) {
                payload_ += static_cast<char>(byte);
            }
            return Event::none;
        case State::stringEscape:
            endString();
            if (byte == '\\') {
                state_ = State::ground;
                return Event::none;
            }
            return afterEscape(byte);
        }
        return Event::none;
    }

    /// Forgets the scroll region, as a terminal does when it is resized.
    void forgetScrollRegion() { scrollRegion_.reset(); }

    void reset() {
        modes_ = {autoWrapMode};
        applicationKeypad_ = false;
        scrollRegion_.reset();
        newLineMode_ = false;
        sideMargins_ = false;
        singleShift_ = false;
    }

    /// Whether the parser is outside any sequence, where printable bytes are text.
    bool atGround() const { return state_ == State::ground; }

    /// Whether lines of plain text are laid out as on a fresh terminal of the model's size:
    /// line feeds do not return the carriage, no side margins, and no single shift waiting
    /// for the next character. The scroll region's extent is the caller's to check.
    bool plainLayout() const {
        return !newLineMode_ && !sideMargins_ && !singleShift_ && !resized_;
    }

    /// Whether printable ASCII may be drawn as other characters: a character set other than
    /// ASCII (the line-drawing set, say) was designated into G0 to G3 and is maybe shifted in.
    bool asciiMayBeMapped() const { return mappedSets_ != 0; }

    /// Text went through outside this tracker: a waiting single shift has been used.
    void notePrinted() {
        singleShift_ = false;
        printedAny_ = true;
        lastMaybeWide_ = false;
        textBytesDue_ = 0;
    }

    const std::set<int>& modes() const { return modes_; }
    /// The title the program last set (operating-system commands 0 and 2), control
    /// characters removed.
    const std::string& title() const { return title_; }
    bool applicationKeypad() const { return applicationKeypad_; }
    const std::optional<std::pair<int, int>>& scrollRegion() const { return scrollRegion_; }

private:
    enum class State { ground, escape, escapeIntermediate, csi, csiDropped, string, stringEscape };

    Event afterEscape(unsigned char byte) {
        if ((byte < 0x20 && byte != 0x1b) || byte >= 0x7f) {
            // C0 controls act inside an escape sequence without ending it, and DEL and
            // non-ASCII text are passed over, as in libvterm.
            state_ = State::escape;
            return Event::none;
        }
        state_ = State::ground;
        switch (byte) {
        case 0x1b:
            state_ = State::escape;
            break;
        case '[':
            state_ = State::csi;
            leader_ = 0;
            leaders_ = 0;
            intermediate_ = 0;
            intermediates_ = 0;
            params_.clear();
            params_.push_back(-1);
            separators_ = 0;
            break;
        case ']':
        case 'P':
        case 'X':
        case '^':
        case '_':
            state_ = State::string;
            stringLength_ = 0;
            isOSC_ = byte == ']';
            payload_.clear();
            // libvterm (0.1) reads only command and device control strings: it takes the
            // others (start of string, privacy message, application program command) for
            // controls that do nothing and draws their contents as text. A terminal shows
            // nothing of them, so none of it goes to libvterm, the introducer included (a
            // CAN in its place leaves libvterm outside any sequence).
            dropString_ = byte != ']' && byte != 'P';
            return dropString_ ? Event::cancel : Event::none;
        case 'c':
            // A full reset also puts every character set back.
            reset();
            mappedSets_ = 0;
            break;
        case '=':
            applicationKeypad_ = true;
            break;
        case 'N':
        case 'O':
            singleShift_ = true;
            break;
        case '>':
            applicationKeypad_ = false;
            break;
        default:
            if (byte >= 0x20 && byte <= 0x2f) {
                state_ = State::escapeIntermediate;
                firstIntermediate_ = static_cast<char>(byte);
                intermediates_ = 1;
            }
            break;
        }
        return Event::none;
    }

    Event inCSI(unsigned char byte) {
        if (byte == 0x1b) {
            state_ = State::escape;
            return Event::none;
        }
        if (byte < 0x20 || byte == 0x7f) {
            return Event::none; // C0 controls inside a sequence act but do not end it; DEL is
                                // passed over.
        }
        // As libvterm reads a control sequence: any number of leader bytes, then parameters,
        // then intermediates, then the final byte. Any other byte ends the sequence unread.
        if (byte >= '<' && byte <= '?' && params_.size() == 1 && params_.back() < 0 &&
            intermediates_ == 0) {
            leader_ = static_cast<char>(byte);
            ++leaders_;
            return Event::none;
        }
        if (byte >= 0x20 && byte <= 0x2f) {
            intermediate_ = static_cast<char>(byte);
            ++intermediates_;
            return Event::none;
        }
        if (intermediates_ > 0 && (byte < 0x40 || byte > 0x7e)) {
            state_ = State::ground;
            return Event::none;
        }
        if (byte >= '0' && byte <= '9') {
            int& value = params_.back();
            value = std::min(std::max(value, 0) * 10 + (byte - '0'), 99999);
            return Event::none;
        }
        if (byte == ';' || byte == ':') {
            if (++separators_ >= maxSeparators) {
                // libvterm (0.1) writes past its 16 parameters: the sequence is cancelled
                // there and the rest of it dropped, as a terminal drops what it cannot hold.
                state_ = State::csiDropped;
                return Event::cancel;
            }
            if (params_.size() < 16) {
                params_.push_back(-1);
            }
            return Event::none;
        }
        state_ = State::ground;
        if (byte >= 0x40 && byte <= 0x7e) {
            return finishCSI(static_cast<char>(byte));
        }
        return Event::none;
    }

    Event finishCSI(char final) {
        if (leaders_ > 1 || intermediates_ > 1) {
            return Event::none; // libvterm acts on none of these
        }
        if (leader_ == 0 && intermediate_ == 0 && (final == 'h' || final == 'l')) {
            for (int mode : params_) {
                if (mode == newLineMode) {
                    newLineMode_ = final == 'h';
                }
            }
            return Event::none;
        }
        if (leader_ == 0 && intermediate_ == 0 && final == 'b' &&
            (!printedAny_ || lastMaybeWide_)) {
            // Repeat the last character. libvterm (0.1) repeats "nothing" forever when no
            // character has been written since it was made, and writes past the end of the row
            // when a wide character lands on its last column: either would stop the server.
            // Nothing to repeat is nothing to do; a wide character is not repeated (programs
            // repeat spaces and ASCII rules this way, seldom anything wide).
            return Event::cancel;
        }
        if (leader_ == 0 && intermediate_ == 0 && final == 't' && params_.front() == 8) {
            // libvterm takes this request to resize itself, which the model's size does not
            // follow.
            resized_ = true;
            return Event::none;
        }
        if (leader_ == '?' && intermediate_ == 0 && (final == 'h' || final == 'l')) {
            bool on = final == 'h';
            bool enters = false;
            for (int mode : params_) {
                if (mode == sideMarginMode) {
                    sideMargins_ = on;
                }
                if (isAlternateScreenMode(mode)) {
                    enters = enters || on;
                } else if (std::find(trackedModes.begin(), trackedModes.end(), mode) !=
                           trackedModes.end()) {
                    if (on) {
                        modes_.insert(mode);
                    } else {
                        modes_.erase(mode);
                    }
                }
            }
            return enters ? Event::enterAlternate : Event::none;
        }
        if (leader_ == 0 && intermediate_ == 0 && final == 'r') {
            int top = params_.size() > 0 ? params_[0] : -1;
            int bottom = params_.size() > 1 ? params_[1] : -1;
            if (top <= 1 && bottom <= 0) {
                scrollRegion_.reset();
            } else {
                scrollRegion_ = std::pair{std::max(top, 1), bottom};
            }
            return Event::none;
        }
        // libvterm (0.1) does not act on a soft reset (CSI ! p): its modes and scroll region
        // stay, and so do these.
        return Event::none;
    }

    /// Titles are read here rather than from libvterm, which loses a string that arrives
    /// split over two chunks.
    void endString() {
        if (!isOSC_) {
            return;
        }
        isOSC_ = false;
        if (payload_.size() < 2 || payload_[1] != ';' ||
            (payload_[0] != '0' && payload_[0] != '2')) {
            return;
        }
        // A title travels inside an escape sequence to every client: control bytes would end
        // it early and let the program's text act as commands.
        title_.clear();
        for (size_t i = 2; i < payload_.size(); ++i) {
            auto byte = static_cast<unsigned char>(payload_[i]);
            if (byte >= 0x20 && byte != 0x7f) {
                title_ += payload_[i];
            }
        }
    }

    State state_ = State::ground;
    std::size_t stringLength_ = 0;
    bool isOSC_ = false;
    /// Whether the string's contents are kept from libvterm.
    bool dropString_ = false;
    std::string payload_;
    std::string title_;
    char leader_ = 0;
    int leaders_ = 0;
    char intermediate_ = 0;
    std::vector<int> params_;
    std::set<int> modes_;
    bool applicationKeypad_ = false;
    /// Top and bottom rows, 1-based, bottom -1 for "the last row", as the program wrote them.
    std::optional<std::pair<int, int>> scrollRegion_;
    bool newLineMode_ = false;
    bool sideMargins_ = false;
    bool singleShift_ = false;
    bool resized_ = false;
    /// The intermediates of the escape or control sequence being read: how many, and an
    /// escape sequence's first.
    char firstIntermediate_ = 0;
    int intermediates_ = 0;
    /// One bit per character set G0 to G3 designated as anything but ASCII since the last full
    /// reset. A set whose designation libvterm does not know keeps its old one; counting it
    /// as mapped costs only some needless splits.
    std::uint8_t mappedSets_ = 0;

    void designate(int set, unsigned char final) {
        const auto bit = static_cast<std::uint8_t>(1u << set);
        mappedSets_ = final == 'B' ? mappedSets_ & ~bit : mappedSets_ | bit;
    }
    /// Whether a printable ASCII character has gone to libvterm (a reset does not forget it:
    /// libvterm's last character survives one). Other text is not counted, so a repeat after
    /// nothing but non-ASCII text is cancelled too.
    bool printedAny_ = false;
    /// Parameter separators in the sequence being read; libvterm fails on the 16th (which
    /// would start a 17th parameter).
    int separators_ = 0;
    static constexpr int maxSeparators = 16;
    /// Whether the last character written may be wide (U+1100 and up, by libvterm's or any
    /// later table), and the UTF-8 sequence being read: its code point so far and the bytes
    /// still due.
    bool lastMaybeWide_ = false;
    char32_t textCode_ = 0;
    int textBytesDue_ = 0;

    /// A byte of non-ASCII text in UTF-8. Combining marks (which join the character before)
    /// and broken sequences leave the last character as it was.
    void takeText(unsigned char byte) {
        if ((byte & 0xc0) == 0x80) {
            if (textBytesDue_ == 0) {
                return;
            }
            textCode_ = textCode_ << 6 | (byte & 0x3f);
            if (--textBytesDue_ == 0 && textCode_ >= 0x1100) {
                lastMaybeWide_ = true;
            } else if (textBytesDue_ == 0 && textCode_ >= 0x300 && textCode_ < 0x370) {
                // A combining mark: the character it joins stays the last one.
            } else if (textBytesDue_ == 0) {
                lastMaybeWide_ = false;
            }
            return;
        }
        textBytesDue_ = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : 1;
        textCode_ = byte & (byte >= 0xf0 ? 0x07 : byte >= 0xe0 ? 0x0f : 0x1f);
    }
};

ScreenModel::Colour colourOf(const VTermColor& colour) {
    ScreenModel::Colour result;
    if ((colour.type & VTERM_COLOR_DEFAULT_MASK) != 0) {
        return result;
    }
    if (VTERM_COLOR_IS_INDEXED(&colour)) {
        result.kind = ScreenModel::Colour::Kind::indexed;
        result.index = colour.indexed.idx;
    } else {
        result.kind = ScreenModel::Colour::Kind::rgb;
        result.red = colour.rgb.red;
        result.green = colour.rgb.green;
        result.blue = colour.rgb.blue;
    }
    return result;
}

ScreenModel::Pen penOf(const VTermScreenCell& cell) {
    ScreenModel::Pen pen;
    pen.bold = cell.attrs.bold != 0;
    pen.underline = static_cast<std::uint8_t>(cell.attrs.underline);
    pen.italic = cell.attrs.italic != 0;
    pen.blink = cell.attrs.blink != 0;
    pen.reverse = cell.attrs.reverse != 0;
    pen.strike = cell.attrs.strike != 0;
    pen.font = static_cast<std::uint8_t>(cell.attrs.font);
    pen.foreground = colourOf(cell.fg);
    pen.background = colourOf(cell.bg);
    return pen;
}

void appendUTF8(std::string& out, std::uint32_t scalar) {
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        scalar = 0xFFFD;
    }
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

ScreenModel::Cell cellOf(const VTermScreenCell& raw) {
    ScreenModel::Cell cell;
    cell.pen = penOf(raw);
    if (raw.chars[0] == continuationMark) {
        cell.width = 0;
        return cell;
    }
    cell.width = raw.width;
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && raw.chars[i] != 0; ++i) {
        appendUTF8(cell.text, raw.chars[i]);
    }
    return cell;
}

void appendColour(std::string& out, const ScreenModel::Colour& colour, bool background) {
    using Kind = ScreenModel::Colour::Kind;
    int base = background ? 40 : 30;
    switch (colour.kind) {
    case Kind::defaultColour:
        break;
    case Kind::indexed:
        if (colour.index < 8) {
            out += fmt::format(";{}", base + colour.index);
        } else if (colour.index < 16) {
            out += fmt::format(";{}", base + 60 + colour.index - 8);
        } else {
            out += fmt::format(";{};5;{}", base + 8, colour.index);
        }
        break;
    case Kind::rgb:
        out += fmt::format(";{};2;{};{};{}", base + 8, colour.red, colour.green, colour.blue);
        break;
    }
}

/// The select-graphic-rendition sequence that sets exactly `pen`, starting from a reset.
std::string penSequence(const ScreenModel::Pen& pen) {
    std::string out = "\x1b[0";
    if (pen.bold) {
        out += ";1";
    }
    if (pen.italic) {
        out += ";3";
    }
    switch (pen.underline) {
    case 1:
        out += ";4";
        break;
    case 2:
        out += ";21";
        break;
    case 3:
        out += ";4:3";
        break;
    default:
        break;
    }
    if (pen.blink) {
        out += ";5";
    }
    if (pen.reverse) {
        out += ";7";
    }
    if (pen.strike) {
        out += ";9";
    }
    if (pen.font > 0 && pen.font <= 9) {
        out += fmt::format(";{}", 10 + pen.font);
    }
    appendColour(out, pen.foreground, false);
    appendColour(out, pen.background, true);
    out += "m";
    return out;
}

void discardOutput(const char*, size_t, void*) {}

/// Output held back until someone looks at the screen: the longer the stretch, the more of a
/// fast scrolling program's lines are known to be gone before they would be drawn.
constexpr std::size_t pendingLimit = 1u << 20;
/// A buffer this large is kept between stretches; a larger one is given back.
constexpr std::size_t pendingKept = 64u << 10;

/// Bytes that are plain text in libvterm's eyes: printable ASCII and the two controls that
/// move the cursor without touching cells.
constexpr std::array<bool, 256> plainBytes = [] {
    std::array<bool, 256> table{};
    for (int byte = 0x20; byte < 0x7f; ++byte) {
        table[static_cast<std::size_t>(byte)] = true;
    }
    table['\r'] = true;
    table['\n'] = true;
    return table;
}();

bool isPlain(char byte) {
    return plainBytes[static_cast<unsigned char>(byte)];
}

} // namespace

struct ScreenModel::Impl {
    VTerm* vt = nullptr;
    VTermScreen* screen = nullptr;
    VTermState* state = nullptr;
    ModeTracker modes;
    bool cursorVisible = true;
    bool alternate = false;

    /// The primary screen as it was when the alternate one was switched on; libvterm keeps it
    /// but offers no way to read it while the alternate screen is shown.
    struct Primary {
        int rows = 0;
        int cols = 0;
        std::vector<VTermScreenCell> cells;
        VTermPos cursor{};
        /// What switching to the alternate screen saved along with the cursor's place.
        bool cursorVisible = true;
        Pen pen;
    };
    std::optional<Primary> primary;
    /// Output not yet given to libvterm.
    std::string pending;

    void flush() {
        if (pending.empty()) {
            return;
        }
        std::string bytes = std::move(pending);
        pending.clear();
        process(bytes);
        if (bytes.capacity() <= pendingKept) {
            bytes.clear();
            pending = std::move(bytes);
        }
    }

    void write(std::string_view bytes) {
        if (!bytes.empty()) {
            vterm_input_write(vt, bytes.data(), bytes.size());
        }
    }

    void process(std::string_view bytes) {
        size_t start = 0;
        size_t i = 0;
        int rows = 0;
        int cols = 0;
        vterm_get_size(vt, &rows, &cols);
        while (i < bytes.size()) {
            if (modes.atGround() && isPlain(bytes[i])) {
                if (i > start && static_cast<unsigned char>(bytes[i - 1]) >= 0x80 &&
                    modes.asciiMayBeMapped()) {
                    // libvterm picks the character set for a stretch of text by its first
                    // byte: after UTF-8 it would decode this ASCII as UTF-8 too, so a
                    // designated set (line drawing) would not apply to it as it does when the
                    // ASCII comes in a write of its own. It comes in one of its own here.
                    write(bytes.substr(start, i - start));
                    start = i;
                }
                // Plain text changes nothing the tracker follows, so it is passed over whole.
                size_t end = i;
                size_t lineFeeds = 0;
                bool printed = false;
                for (; end < bytes.size() && isPlain(bytes[end]); ++end) {
                    lineFeeds += bytes[end] == '\n' ? 1 : 0;
                    printed = printed || (bytes[end] != '\n' && bytes[end] != '\r');
                }
                if (lineFeeds > static_cast<size_t>(rows)) {
                    write(bytes.substr(start, i - start));
                    feedPlain(bytes.substr(i, end - i));
                    start = end;
                }
                if (printed) {
                    modes.notePrinted();
                }
                i = end;
                continue;
            }
            auto event = modes.take(static_cast<unsigned char>(bytes[i]));
            if (event == ModeTracker::Event::skip) {
                write(bytes.substr(start, i - start));
                start = i + 1;
            } else if (event == ModeTracker::Event::cancel) {
                // CAN in place of the byte abandons the sequence.
                write(bytes.substr(start, i - start));
                write("\x18");
                start = i + 1;
            } else if (event == ModeTracker::Event::enterAlternate) {
                // Everything up to the sequence's final byte goes in first: it may leave the
                // alternate screen, and the switch happens on that byte, so the primary screen
                // is still intact here.
                write(bytes.substr(start, i - start));
                start = i;
                if (alternate) {
                    ++i;
                    continue;
                }
                copyPrimary();
                // The alternate buffer is made on first use: most terminals run a shell that
                // never asks for it, and it would double their memory.
                vterm_screen_enable_altscreen(screen, 1);
                // The final byte goes in at once, so a second request later in these bytes
                // finds the alternate screen on and does not copy it as the primary one.
                write(bytes.substr(i, 1));
                start = i + 1;
            }
            ++i;
        }
        write(bytes.substr(start));
        if (!alternate) {
            primary.reset();
        }
    }

    /// Whether every row is drawn at single width, so a row holds `cols` characters.
    bool singleWidthRows(int rows) const {
        for (int row = 0; row < rows; ++row) {
            const VTermLineInfo* info = vterm_state_get_lineinfo(state, row);
            if (info->doublewidth || info->doubleheight) {
                return false;
            }
        }
        return true;
    }

    /// Takes a stretch of plain text (printable ASCII, carriage returns, line feeds) with many
    /// line feeds, giving libvterm only what can still be on the screen afterwards.
    ///
    /// Where the whole screen scrolls, every row on it before the last `rows` scrolls of the
    /// stretch is gone after them; so libvterm can start at the place the cursor had just
    /// before those scrolls (the bottom row, a column, maybe waiting to wrap) and take the rest
    /// of the stretch from there, without the lines in between. The cursor's path is followed
    /// here exactly as libvterm moves it, from the first carriage return after a character (the
    /// column is then 0, nothing waits to wrap and a split UTF-8 sequence before the stretch
    /// has been ended). The new rows scroll in blank in the same pen either way, and the last
    /// character written, which later combining marks attach to, is the stretch's own.
    void feedPlain(std::string_view run) {
        int rows = 0;
        int cols = 0;
        vterm_get_size(vt, &rows, &cols);
        auto [top, bottom] = scrollRegion(rows);
        size_t firstText = run.find_first_not_of("\r\n");
        size_t head = firstText == std::string_view::npos ? firstText : run.find('\r', firstText);
        if (!modes.plainLayout() || top != 1 || bottom != rows || cols < 3 ||
            head == std::string_view::npos || !singleWidthRows(rows)) {
            write(run);
            return;
        }
        ++head;
        write(run.substr(0, head));

        struct Scroll {
            size_t at = 0;
            int col = 0;
            bool wrapPending = false;
        };
        // The latest `rows` scrolls, oldest first from `scrolls % rows`.
        std::vector<Scroll> latest(static_cast<size_t>(rows));
        size_t scrolls = 0;
        size_t lastText = 0;
        VTermPos cursor{};
        vterm_state_get_cursorpos(state, &cursor);
        int row = cursor.row;
        int col = cursor.col;
        bool wrapPending = false;
        const bool autoWrap = modes.modes().count(autoWrapMode) > 0;
        const int last = rows - 1;
        // libvterm moves down one row or, on the bottom row, scrolls, keeping the column.
        auto lineFeed = [&](size_t at) {
            if (row == last) {
                latest[scrolls % latest.size()] = Scroll{at, col, wrapPending};
                ++scrolls;
            } else {
                ++row;
                // A move ends a wait to wrap; a scroll leaves the cursor where it was.
                wrapPending = false;
            }
        };
        for (size_t at = head; at < run.size(); ++at) {
            char byte = run[at];
            if (byte == '\n') {
                lineFeed(at);
            } else if (byte == '\r') {
                if (col != 0) {
                    wrapPending = false;
                }
                col = 0;
            } else {
                lastText = at;
                if (wrapPending) {
                    lineFeed(at);
                    col = 0;
                    wrapPending = false;
                }
                if (col + 1 >= cols) {
                    wrapPending = autoWrap;
                } else {
                    ++col;
                }
            }
        }
        if (scrolls <= latest.size()) {
            write(run.substr(head));
            return;
        }
        const Scroll& from = latest[scrolls % latest.size()];
        if (lastText < from.at) {
            write(run.substr(head));
            return;
        }
        // The cursor as it was there; rows above it are all scrolled away later. A wait to
        // wrap comes from writing the last column, with a blank that scrolls away too.
        std::string place = from.wrapPending ? fmt::format("\x1b[{};{}H ", rows, cols)
                                             : fmt::format("\x1b[{};{}H", rows, from.col + 1);
        write(place);
        write(run.substr(from.at));
    }

    static int onSetTermProp(VTermProp prop, VTermValue* value, void* user) {
        auto* self = static_cast<Impl*>(user);
        switch (prop) {
        case VTERM_PROP_CURSORVISIBLE:
            self->cursorVisible = value->boolean != 0;
            break;
        case VTERM_PROP_ALTSCREEN:
            self->alternate = value->boolean != 0;
            if (!self->alternate) {
                self->primary.reset();
            }
            break;
        default:
            break;
        }
        return 1;
    }

    void copyPrimary() {
        Primary copy;
        vterm_get_size(vt, &copy.rows, &copy.cols);
        copy.cells.resize(static_cast<size_t>(copy.rows) * static_cast<size_t>(copy.cols));
        for (int row = 0; row < copy.rows; ++row) {
            for (int col = 0; col < copy.cols; ++col) {
                vterm_screen_get_cell(screen, VTermPos{row, col},
                                      &copy.cells[static_cast<size_t>(row * copy.cols + col)]);
            }
        }
        vterm_state_get_cursorpos(state, &copy.cursor);
        copy.cursorVisible = cursorVisible;
        copy.pen = currentPen();
        primary = std::move(copy);
    }

    VTermScreenCell liveCell(int row, int col) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(screen, VTermPos{row, col}, &cell);
        return cell;
    }

    /// The scroll region's top and bottom rows, 1-based, on a screen of `rows`.
    std::pair<int, int> scrollRegion(int rows) const {
        const auto& region = modes.scrollRegion();
        if (!region) {
            return {1, rows};
        }
        // As libvterm reads the request: a top past the last row or a bottom above the top
        // leaves the whole screen; a region of one row is a region.
        int top = std::min(region->first, rows + 1);
        int bottom = region->second < 0 ? rows : std::min(region->second, rows);
        if (bottom < top) {
            return {1, rows};
        }
        return {top, bottom};
    }

    Pen currentPen() const {
        VTermScreenCell cell{};
        VTermValue value{};
        vterm_state_get_penattr(state, VTERM_ATTR_BOLD, &value);
        cell.attrs.bold = value.boolean ? 1 : 0;
        vterm_state_get_penattr(state, VTERM_ATTR_UNDERLINE, &value);
        cell.attrs.underline = static_cast<unsigned>(value.number) & 3;
        vterm_state_get_penattr(state, VTERM_ATTR_ITALIC, &value);
        cell.attrs.italic = value.boolean ? 1 : 0;
        vterm_state_get_penattr(state, VTERM_ATTR_BLINK, &value);
        cell.attrs.blink = value.boolean ? 1 : 0;
        vterm_state_get_penattr(state, VTERM_ATTR_REVERSE, &value);
        cell.attrs.reverse = value.boolean ? 1 : 0;
        vterm_state_get_penattr(state, VTERM_ATTR_STRIKE, &value);
        cell.attrs.strike = value.boolean ? 1 : 0;
        vterm_state_get_penattr(state, VTERM_ATTR_FONT, &value);
        cell.attrs.font = static_cast<unsigned>(value.number) & 15;
        vterm_state_get_penattr(state, VTERM_ATTR_FOREGROUND, &value);
        cell.fg = value.color;
        vterm_state_get_penattr(state, VTERM_ATTR_BACKGROUND, &value);
        cell.bg = value.color;
        return penOf(cell);
    }
};

ScreenModel::ScreenModel(int rows, int cols) : impl_(std::make_unique<Impl>()) {
    auto& m = *impl_;
    m.vt = vterm_new(std::max(rows, 1), std::max(cols, minCols));
    vterm_set_utf8(m.vt, 1);
    // Answers to the program's queries (cursor position, device attributes) come from the
    // client's real terminal, which sees the same output; the model must not answer twice.
    vterm_output_set_callback(m.vt, discardOutput, nullptr);
    m.screen = vterm_obtain_screen(m.vt);
    m.state = vterm_obtain_state(m.vt);
    static const VTermScreenCallbacks callbacks = {
        .damage = nullptr,
        .moverect = nullptr,
        .movecursor = nullptr,
        .settermprop = &Impl::onSetTermProp,
        .bell = nullptr,
        .resize = nullptr,
        .sb_pushline = nullptr, // no scrollback: lines leaving the top are dropped
        .sb_popline = nullptr,
    };
    vterm_screen_set_callbacks(m.screen, &callbacks, &m);
    vterm_screen_reset(m.screen, 1);
}

ScreenModel::~ScreenModel() {
    vterm_free(impl_->vt);
}

void ScreenModel::feed(std::string_view bytes) {
    auto& m = *impl_;
    m.pending.append(bytes);
    if (m.pending.size() >= pendingLimit) {
        m.flush();
    }
}

void ScreenModel::resize(int rows, int cols) {
    impl_->flush();
    auto& m = *impl_;
    rows = std::max(rows, 1);
    cols = std::max(cols, minCols);
    vterm_set_size(m.vt, rows, cols);
    // libvterm keeps the region, only cut to the new size, and a region whose top is then
    // below the bottom makes its next scroll move a negative number of bytes. Resetting the
    // region homes the cursor, which goes back.
    VTermPos cursor{};
    vterm_state_get_cursorpos(m.state, &cursor);
    m.write(fmt::format("\x1b[r\x1b[{};{}H", cursor.row + 1, cursor.col + 1));
    m.modes.forgetScrollRegion();
    if (m.primary) {
        Impl::Primary resized;
        resized.rows = rows;
        resized.cols = cols;
        resized.cells.resize(static_cast<size_t>(rows) * static_cast<size_t>(cols));
        for (auto& cell : resized.cells) {
            cell.width = 1;
            vterm_state_get_default_colors(m.state, &cell.fg, &cell.bg);
        }
        for (int row = 0; row < std::min(rows, m.primary->rows); ++row) {
            for (int col = 0; col < std::min(cols, m.primary->cols); ++col) {
                resized.cells[static_cast<size_t>(row * cols + col)] =
                    m.primary->cells[static_cast<size_t>(row * m.primary->cols + col)];
            }
        }
        resized.cursor = VTermPos{std::min(m.primary->cursor.row, rows - 1),
                                  std::min(m.primary->cursor.col, cols - 1)};
        resized.cursorVisible = m.primary->cursorVisible;
        resized.pen = m.primary->pen;
        m.primary = std::move(resized);
    }
}

int ScreenModel::rows() const {
    impl_->flush();
    int rows = 0, cols = 0;
    vterm_get_size(impl_->vt, &rows, &cols);
    return rows;
}

int ScreenModel::cols() const {
    impl_->flush();
    int rows = 0, cols = 0;
    vterm_get_size(impl_->vt, &rows, &cols);
    return cols;
}

namespace {

/// Paints `rows` by `cols` cells read through `cellAt` onto a screen that was just cleared
/// with the default pen. Blank cells in the default pen are skipped over; blank cells in
/// another pen are erased in that pen, which is how they came to be.
template <typename CellAt> void paintCells(std::string& out, int rows, int cols, CellAt cellAt) {
    const ScreenModel::Pen defaultPen;
    ScreenModel::Pen written;
    for (int row = 0; row < rows; ++row) {
        out += fmt::format("\x1b[{};1H", row + 1);
        int skip = 0;
        int col = 0;
        while (col < cols) {
            ScreenModel::Cell cell = cellOf(cellAt(row, col));
            if (cell.width == 0) {
                ++col;
                continue;
            }
            if (cell.text.empty()) {
                int run = 1;
                while (col + run < cols) {
                    ScreenModel::Cell next = cellOf(cellAt(row, col + run));
                    if (!next.text.empty() || next.width == 0 || !(next.pen == cell.pen)) {
                        break;
                    }
                    ++run;
                }
                if (!(cell.pen == defaultPen)) {
                    if (skip > 0) {
                        out += fmt::format("\x1b[{}C", skip);
                        skip = 0;
                    }
                    if (!(cell.pen == written)) {
                        out += penSequence(cell.pen);
                        written = cell.pen;
                    }
                    out += fmt::format("\x1b[{}X", run);
                }
                skip += run;
                col += run;
                continue;
            }
            if (skip > 0) {
                out += fmt::format("\x1b[{}C", skip);
                skip = 0;
            }
            if (!(cell.pen == written)) {
                out += penSequence(cell.pen);
                written = cell.pen;
            }
            out += cell.text;
            col += std::max(cell.width, 1);
        }
    }
    out += "\x1b[0m";
}

} // namespace

std::string ScreenModel::redraw() const {
    impl_->flush();
    const auto& m = *impl_;
    int rows = this->rows();
    int cols = this->cols();
    std::string out;
    out.reserve(static_cast<size_t>(rows * cols) + 256);
    // Leave whatever state the client's terminal is in (another terminal's alternate screen,
    // scroll region or modes) before painting on a cleared screen.
    out += "\x1b[?1049l\x1b[0m\x1b[r\x1b[4l\x1b>\x1b[?25h";
    for (int mode : trackedModes) {
        out += fmt::format("\x1b[?{}{}", mode, mode == autoWrapMode ? 'h' : 'l');
    }
    out += "\x1b[H\x1b[2J";

    if (m.alternate && m.primary) {
        const auto& primary = *m.primary;
        paintCells(out, std::min(rows, primary.rows), std::min(cols, primary.cols),
                   [&](int row, int col) {
                       return primary.cells[static_cast<size_t>(row * primary.cols + col)];
                   });
        // Switching saves the cursor's place, visibility and pen; leaving the alternate
        // screen later brings them back, so they must be the primary screen's.
        out += fmt::format("\x1b[{};{}H", primary.cursor.row + 1, primary.cursor.col + 1);
        out += primary.cursorVisible ? "" : "\x1b[?25l";
        out += penSequence(primary.pen);
    }
    if (m.alternate) {
        out += "\x1b[?1049h\x1b[0m\x1b[2J";
    }
    paintCells(out, rows, cols, [&](int row, int col) { return m.liveCell(row, col); });

    auto [top, bottom] = m.scrollRegion(rows);
    out += fmt::format("\x1b[{};{}r", top, bottom);
    for (int mode : trackedModes) {
        bool on = m.modes.modes().count(mode) > 0;
        if (on != (mode == autoWrapMode)) {
            out += fmt::format("\x1b[?{}{}", mode, on ? 'h' : 'l');
        }
    }
    if (m.modes.applicationKeypad()) {
        out += "\x1b=";
    }
    out += fmt::format("\x1b]2;{}\x1b\\", m.modes.title());
    out += restoreCursor();
    return out;
}

std::string ScreenModel::restoreCursor() const {
    impl_->flush();
    const auto& m = *impl_;
    std::string out;
    VTermPos cursor{};
    vterm_state_get_cursorpos(m.state, &cursor);
    int cursorRow = cursor.row + 1;
    if (m.modes.modes().count(originMode) > 0) {
        // Origin mode counts rows from the scroll region's top, and switching it on homes the
        // cursor, so it comes before the move.
        out += "\x1b[?6h";
        cursorRow -= m.scrollRegion(rows()).first - 1;
    }
    out += fmt::format("\x1b[{};{}H", cursorRow, cursor.col + 1);
    out += m.cursorVisible ? "\x1b[?25h" : "\x1b[?25l";
    out += penSequence(m.currentPen());
    return out;
}

std::string ScreenModel::text() const {
    auto snap = snapshot();
    std::string out;
    for (size_t row = 0; row < snap.cells.size(); ++row) {
        std::string line;
        for (const auto& cell : snap.cells[row]) {
            if (cell.width == 0) {
                continue;
            }
            line += cell.text.empty() ? std::string(" ") : cell.text;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        if (row > 0) {
            out += '\n';
        }
        out += line;
    }
    return out;
}

std::string ScreenModel::title() const {
    impl_->flush();
    return impl_->modes.title();
}

ScreenModel::Snapshot ScreenModel::snapshot() const {
    impl_->flush();
    const auto& m = *impl_;
    Snapshot snap;
    snap.rows = rows();
    snap.cols = cols();
    snap.cells.resize(static_cast<size_t>(snap.rows));
    for (int row = 0; row < snap.rows; ++row) {
        auto& line = snap.cells[static_cast<size_t>(row)];
        line.reserve(static_cast<size_t>(snap.cols));
        for (int col = 0; col < snap.cols; ++col) {
            line.push_back(cellOf(m.liveCell(row, col)));
        }
    }
    VTermPos cursor{};
    vterm_state_get_cursorpos(m.state, &cursor);
    snap.cursorRow = cursor.row;
    snap.cursorCol = cursor.col;
    snap.cursorVisible = m.cursorVisible;
    snap.alternateScreen = m.alternate;
    snap.title = m.modes.title();
    snap.modes.assign(m.modes.modes().begin(), m.modes.modes().end());
    snap.applicationKeypad = m.modes.applicationKeypad();
    snap.scrollRegion = m.scrollRegion(snap.rows);
    snap.pen = m.currentPen();
    return snap;
}

std::optional<std::vector<std::vector<ScreenModel::Cell>>> ScreenModel::primaryCells() const {
    impl_->flush();
    const auto& m = *impl_;
    if (!m.alternate || !m.primary) {
        return std::nullopt;
    }
    std::vector<std::vector<Cell>> cells(static_cast<size_t>(m.primary->rows));
    for (int row = 0; row < m.primary->rows; ++row) {
        for (int col = 0; col < m.primary->cols; ++col) {
            cells[static_cast<size_t>(row)].push_back(
                cellOf(m.primary->cells[static_cast<size_t>(row * m.primary->cols + col)]));
        }
    }
    return cells;
}

} // namespace OrvexServer
