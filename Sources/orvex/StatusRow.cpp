#include "orvex/StatusRow.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>
#include <utf8proc.h>

#include "OrvexCore/Util/Text.hpp"

namespace Orvex::StatusRow {

using OrvexServer::AttachFrame::Status;

namespace {

constexpr std::string_view shownStyle = "\x1b[0;1;7m";
constexpr std::string_view attentionStyle = "\x1b[0;1;30;43m";
constexpr std::string_view bellStyle = "\x1b[0;1;97;41m";
constexpr std::string_view plainStyle = "\x1b[0;7m";
constexpr std::string_view ellipsis = "…";

/// `text` as valid UTF-8 without control characters (C0, DEL, C1) or line breaks.
std::string printable(std::string_view text) {
    std::string valid = OrvexCore::Text::sanitizedUTF8(text);
    std::string out;
    size_t offset = 0;
    while (offset < valid.size()) {
        size_t start = offset;
        char32_t scalar = OrvexCore::Text::decodeScalar(valid, offset);
        if (scalar < 0x20 || (scalar >= 0x7f && scalar < 0xa0) || scalar == 0x2028 ||
            scalar == 0x2029) {
            continue;
        }
        out.append(valid, start, offset - start);
    }
    return out;
}

/// Columns a grapheme takes: its first scalar's width (wide East Asian forms and emoji 2,
/// combining marks 0), never negative.
int columnsOf(std::string_view grapheme) {
    size_t offset = 0;
    char32_t scalar = OrvexCore::Text::decodeScalar(grapheme, offset);
    return std::max(0, utf8proc_charwidth(static_cast<utf8proc_int32_t>(scalar)));
}

int columnsOf(const std::string& text, bool) {
    int total = 0;
    for (auto grapheme : OrvexCore::Text::graphemes(text)) {
        total += columnsOf(grapheme);
    }
    return total;
}

/// The longest start of `text` that fits `columns`, cut between graphemes; an ellipsis marks
/// a cut when `mark` is set and there is room for it.
std::string fitted(const std::string& text, int columns, bool mark) {
    if (columnsOf(text, true) <= columns) {
        return text;
    }
    int room = mark ? columns - 1 : columns;
    std::string out;
    int used = 0;
    for (auto grapheme : OrvexCore::Text::graphemes(text)) {
        int width = columnsOf(grapheme);
        if (used + width > room) {
            break;
        }
        out += grapheme;
        used += width;
    }
    if (mark && columns >= 1) {
        out += ellipsis;
    }
    return out;
}

std::string_view stateWord(Status::State state) {
    switch (state) {
    case Status::State::idle:
        return "idle";
    case Status::State::working:
        return "working";
    case Status::State::needsInput:
        return "needs input";
    case Status::State::exited:
        return "exited";
    }
    return "idle";
}

std::string_view stateLetter(Status::State state) {
    switch (state) {
    case Status::State::idle:
        return "-";
    case Status::State::working:
        return "*";
    case Status::State::needsInput:
        return "?";
    case Status::State::exited:
        return "x";
    }
    return "-";
}

struct Entry {
    std::string text;
    std::string_view style;
};

/// Each terminal's entry with titles of at most `titleColumns` (none when 0, and then the state
/// as one letter).
std::vector<Entry> entries(const Status& status, const std::vector<std::string>& titles,
                           int titleColumns, bool full) {
    std::vector<Entry> out;
    for (size_t i = 0; i < status.terminals.size(); ++i) {
        const auto& terminal = status.terminals[i];
        bool shown = i == status.shown;
        std::string text = fmt::format(" {}", i + 1);
        if (titleColumns > 0 && !titles[i].empty()) {
            text += ":" + fitted(titles[i], titleColumns, true);
        }
        if (full || titleColumns > 0) {
            text += fmt::format(" {}", stateWord(terminal.state));
        } else {
            text += stateLetter(terminal.state);
        }
        if (terminal.bell && !shown) {
            text += " !";
        }
        text += " ";
        std::string_view style = plainStyle;
        if (shown) {
            style = shownStyle;
        } else if (terminal.bell) {
            style = bellStyle;
        } else if (terminal.state == Status::State::needsInput) {
            style = attentionStyle;
        }
        out.push_back(Entry{std::move(text), style});
    }
    return out;
}

int totalColumns(const std::vector<Entry>& list) {
    int total = 0;
    for (const auto& entry : list) {
        total += columnsOf(entry.text, true);
    }
    return total;
}

} // namespace

Rendered render(const Status& status, int width, bool prefixPending) {
    width = std::max(width, 0);
    std::string hint = prefixPending ? " n p 1-9 d ? " : "";
    int room = std::max(0, width - static_cast<int>(hint.size()));

    std::vector<std::string> titles;
    int longest = 0;
    for (const auto& terminal : status.terminals) {
        titles.push_back(printable(terminal.title));
        longest = std::max(longest, columnsOf(titles.back(), true));
    }

    // Shorten titles step by step until the row fits; then try without titles.
    std::vector<Entry> list = entries(status, titles, longest, true);
    for (int columns = longest; columns >= 1 && totalColumns(list) > room; --columns) {
        list = entries(status, titles, columns, true);
    }
    if (totalColumns(list) > room) {
        list = entries(status, titles, 0, false);
    }
    // Still too wide: keep the terminal on screen and as many of its neighbours as fit.
    if (totalColumns(list) > room && !list.empty()) {
        size_t shown = std::min<size_t>(status.shown, list.size() - 1);
        size_t first = shown, last = shown;
        int used = columnsOf(list[shown].text, true);
        bool grew = true;
        while (grew) {
            grew = false;
            if (last + 1 < list.size() && used + columnsOf(list[last + 1].text, true) <= room) {
                used += columnsOf(list[++last].text, true);
                grew = true;
            }
            if (first > 0 && used + columnsOf(list[first - 1].text, true) <= room) {
                used += columnsOf(list[--first].text, true);
                grew = true;
            }
        }
        list = std::vector<Entry>(list.begin() + static_cast<std::ptrdiff_t>(first),
                                  list.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    }

    Rendered row;
    int used = 0;
    for (const auto& entry : list) {
        std::string text = fitted(entry.text, room - used, false);
        if (text.empty()) {
            break;
        }
        used += columnsOf(text, true);
        row.bytes += entry.style;
        row.bytes += text;
        row.text += text;
    }
    std::string padding(static_cast<size_t>(std::max(0, room - used)), ' ');
    std::string tail =
        padding + fitted(hint, width - used - static_cast<int>(padding.size()), false);
    row.bytes += plainStyle;
    row.bytes += tail;
    row.bytes += "\x1b[0m";
    row.text += tail;
    return row;
}

std::string paint(const Rendered& row, int windowRow, std::string_view restore) {
    std::string out = fmt::format("\x1b[?25l\x1b[?6l\x1b[{};1H", std::max(windowRow, 1));
    out += row.bytes;
    out += restore;
    return out;
}

WindowSize programSize(WindowSize window) {
    return WindowSize{static_cast<unsigned short>(std::max(1, window.rows - 1)), window.cols};
}

} // namespace Orvex::StatusRow
