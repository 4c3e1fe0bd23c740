#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "OrvexServer/AttachFrame.hpp"

namespace OrvexServer {

class AttachSession;

/// What an attachment needs from the grid of terminals it shows, and all it may do to it. The
/// server's terminal host implements it for one session's grid; tests implement it with
/// screen models. Terminals are addressed by their place in the grid's reading order.
/// Main executor only.
class AttachGrid {
public:
    virtual ~AttachGrid() = default;

    /// Every terminal's title, state and bell, in reading order (`shown` is not read).
    virtual AttachFrame::Status status() const = 0;

    /// The repaint of the screen of the terminal at `index` (its screen model's size and
    /// redraw bytes). Only called with an index below `status().terminals.size()`.
    virtual AttachFrame::Redraw redraw(std::size_t index) const = 0;

    /// Bytes the user typed for the terminal at `index`.
    virtual void input(std::size_t index, std::string_view bytes) = 0;

    /// The user now looks at the terminal at `index`: its bell is no longer news.
    virtual void seen(std::size_t index) = 0;

    /// `client` wants its programs at `size` (its window without the status row), or left the
    /// grid (nothing). The grid sets every program to `sharedWindowSize` of all its clients
    /// and then calls `AttachSession::resized()` on each of them.
    virtual void clientSize(const AttachSession& client,
                            std::optional<AttachFrame::Resize> size) = 0;

    /// `client` has more output waiting to be written than it should (`behind`), or has caught
    /// up again (or left). While behind, the grid may stop reading the terminal it shows, so a
    /// program writing faster than the client reads waits for it instead of having it dropped.
    virtual void clientBehind(const AttachSession& client, bool behind) {
        (void)client;
        (void)behind;
    }
};

/// The size every program of a grid gets when several clients show it: the smallest rows and
/// the smallest columns among the clients' sizes (so every client sees the whole screen, as
/// terminal multiplexers do); nothing when no client is attached.
std::optional<AttachFrame::Resize>
sharedWindowSize(const std::vector<AttachFrame::Resize>& clientSizes);

} // namespace OrvexServer
