#include "orvex/WatchFrame.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace Orvex {

using OrvexCore::SessionStatus;

namespace {

/// A run of text and the SGR parameters it is painted with ("" for none).
struct Piece {
    std::string text;
    std::string sgr;
};

/// Bytes of the UTF-8 sequence that starts with `lead`.
std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead >> 5) == 0x6) {
        return 2;
    }
    if ((lead >> 4) == 0xE) {
        return 3;
    }
    if ((lead >> 3) == 0x1E) {
        return 4;
    }
    return 1;
}

/// The longest head of `text` that takes at most `columns` columns, cut between characters.
std::string head(std::string_view text, std::size_t columns) {
    std::size_t used = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t length =
            std::min(sequenceLength(static_cast<unsigned char>(text[at])), text.size() - at);
        const std::size_t width = displayWidth(text.substr(at, length));
        if (used + width > columns) {
            break;
        }
        used += width;
        at += length;
    }
    return std::string(text.substr(0, at));
}

/// Control bytes (a title or reason may hold any) would move the cursor: shown as spaces.
std::string printable(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return out;
}

/// The pieces joined and cut to `width` columns (0: no limit), then painted.
std::string line(const std::vector<Piece>& pieces, const Style& style, int width) {
    std::string out;
    std::size_t left = width > 0 ? static_cast<std::size_t>(width) : std::string::npos;
    for (const auto& piece : pieces) {
        if (left == 0) {
            break;
        }
        std::string text = printable(piece.text);
        if (left != std::string::npos) {
            const std::size_t columns = displayWidth(text);
            if (columns > left) {
                text = head(text, left);
            }
            left -= std::min(left, displayWidth(text));
        }
        out += piece.sgr.empty() ? text : style.paint(text, piece.sgr);
    }
    // Trailing blanks would only wrap a line that fills the width.
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string sessionStatusText(const WatchView::Session& session) {
    if (!session.live) {
        std::string text = "not running";
        if (session.lastKnown == SessionStatus::bell ||
            session.lastKnown == SessionStatus::needsInput) {
            text += fmt::format(" (last: {})", OrvexCore::rawValue(session.lastKnown));
        }
        return text;
    }
    return *session.live == SessionStatus::needsInput
               ? "needs input"
               : std::string(OrvexCore::rawValue(*session.live));
}

std::string statusSGR(std::string_view status) {
    if (status == "needsInput" || status == "needs input" || status == "bell") {
        return "1;33";
    }
    if (status == "working" || status == "running") {
        return "32";
    }
    if (status == "exited" || status.starts_with("not running")) {
        return "2";
    }
    return "";
}

} // namespace

std::string terminalStatusText(const Style& style, std::string_view status) {
    const std::string text = status == "needsInput" ? "needs input" : std::string(status);
    const std::string sgr = statusSGR(status);
    return sgr.empty() ? text : style.paint(text, sgr);
}

std::vector<std::string> renderWatchFrame(const WatchView& view, const Style& style, int width,
                                          int height, bool interactive) {
    std::size_t sessions = 0, running = 0, asking = 0, bells = 0;
    for (const auto& workspace : view.workspaces) {
        for (const auto& session : workspace.sessions) {
            ++sessions;
            running += session.live ? 1 : 0;
            asking += session.live == SessionStatus::needsInput ? 1 : 0;
            bells += session.bell ? 1 : 0;
        }
    }
    std::vector<std::vector<Piece>> lines;
    std::vector<Piece> summary{{"Orvex", "1"},
                               {fmt::format("  {} {}, {} running", sessions,
                                            sessions == 1 ? "session" : "sessions", running),
                                ""}};
    if (asking > 0) {
        summary.push_back(
            {fmt::format(", {} {} input", asking, asking == 1 ? "needs" : "need"), "1;33"});
    }
    if (bells > 0) {
        summary.push_back({fmt::format(", {} rang the bell", bells), "1;33"});
    }
    if (interactive) {
        summary.push_back({"   q quits", "2"});
    }
    lines.push_back(std::move(summary));
    if (view.workspaces.empty()) {
        lines.push_back({});
        lines.push_back({{"no workspaces yet: register a repository with 'orvex open PATH'", ""}});
    }
    for (const auto& workspace : view.workspaces) {
        lines.push_back({});
        lines.push_back({{workspace.name, "1"}, {"  " + workspace.path, "2"}});
        if (workspace.sessions.empty()) {
            lines.push_back({{"    no sessions", "2"}});
        }
        std::size_t nameWidth = 0;
        for (const auto& session : workspace.sessions) {
            nameWidth = std::max(nameWidth, displayWidth(printable(session.name)));
        }
        for (const auto& session : workspace.sessions) {
            const bool asks = session.live == SessionStatus::needsInput;
            const std::string mark = asks ? "! " : session.bell ? "* " : "  ";
            const std::string status = sessionStatusText(session);
            lines.push_back({{mark, asks || session.bell ? "1;33" : ""},
                             {padded(printable(session.name), nameWidth), asks ? "1" : ""},
                             {"  ", ""},
                             {status, session.bell && !asks ? "1;33" : statusSGR(status)},
                             {session.branch.empty() ? "" : "  " + session.branch, "2"}});
            std::size_t titleWidth = 0;
            for (const auto& terminal : session.terminals) {
                titleWidth = std::max(titleWidth, displayWidth(printable(terminal.title)));
            }
            for (const auto& terminal : session.terminals) {
                const bool termAsks = terminal.status == "needsInput";
                const std::string termMark = termAsks ? "! " : terminal.bell ? "* " : "  ";
                const std::string text = terminalStatusText(Style{}, terminal.status);
                lines.push_back({{"    ", ""},
                                 {termMark, termAsks || terminal.bell ? "1;33" : ""},
                                 {padded(printable(terminal.title), titleWidth), ""},
                                 {"  ", ""},
                                 {padded(text, 11), statusSGR(terminal.status)},
                                 {terminal.reason.empty() ? "" : "  " + terminal.reason, "2"}});
            }
        }
    }
    std::vector<std::string> frame;
    const std::size_t limit = height > 0 ? static_cast<std::size_t>(height) : lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines.size() > limit && frame.size() + 1 == limit) {
            frame.push_back(
                line({{fmt::format("... {} more lines", lines.size() - i), "2"}}, style, width));
            break;
        }
        frame.push_back(line(lines[i], style, width));
    }
    return frame;
}

} // namespace Orvex
