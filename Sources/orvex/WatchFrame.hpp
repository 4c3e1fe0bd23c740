#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvexCore/Models/SessionStatus.hpp"
#include "orvex/Output.hpp"

namespace Orvex {

/// What the overview of `orvex watch` shows: every workspace, its sessions and the terminals
/// of those whose grid runs in the server.
struct WatchView {
    struct Terminal {
        std::string title;
        /// "working", "idle", "needsInput" or "exited".
        std::string status;
        std::string reason;
        /// Rang the bell since the overview started.
        bool bell = false;
    };
    struct Session {
        std::string name;
        std::string branch;
        /// The live status; none when the grid is not open.
        std::optional<OrvexCore::SessionStatus> live;
        OrvexCore::SessionStatus lastKnown = OrvexCore::SessionStatus::unknown;
        bool bell = false;
        std::vector<Terminal> terminals;
    };
    struct Workspace {
        std::string name;
        std::string path;
        std::vector<Session> sessions;
    };
    std::vector<Workspace> workspaces;
};

/// A terminal status for people: "working", "idle", "needs input", "exited", coloured when
/// `style` colours (needs input stands out, exited is dim).
std::string terminalStatusText(const Style& style, std::string_view status);

/// One frame of the overview: a summary line, then per workspace its name and sessions, under
/// each running session its terminals with status and reason. Sessions and terminals that
/// need input are marked "!" and those that rang the bell "*" (also without colour), and
/// highlighted when `style` colours. Each line fits `width` columns and the frame `height`
/// lines (the last then says how many were left out); 0 means no limit. `interactive` adds
/// the keys to the summary line. No line holds a line feed.
std::vector<std::string> renderWatchFrame(const WatchView& view, const Style& style, int width,
                                          int height, bool interactive);

} // namespace Orvex
