#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include <boost/signals2/connection.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexServer/ScreenModel.hpp"

namespace OrvexServer {

class TerminalHost;

/// One screen model per terminal the host owns, whether or not anyone looks at it, so that
/// whoever shows a terminal later (an attaching client, a web page) can repaint exactly what
/// its program has drawn so far.
///
/// A model is made when a terminal appears in the host's list, at the size of the terminal's
/// pseudo-terminal, fed every output chunk at the host's screen stage, and dropped when the
/// terminal leaves the list (closed, or replaced by a restart). A terminal whose program has
/// ended keeps its last screen until it is closed. Main executor only; must not outlive the
/// host it was made with.
class TerminalScreens {
public:
    /// The size a terminal gets when its pseudo-terminal cannot be asked.
    static constexpr int defaultRows = 24;
    static constexpr int defaultCols = 80;

    /// Starts following `host`'s terminals (those it has already included).
    explicit TerminalScreens(TerminalHost& host);
    ~TerminalScreens();
    TerminalScreens(const TerminalScreens&) = delete;
    TerminalScreens& operator=(const TerminalScreens&) = delete;

    /// The terminal's screen; null for a terminal the host does not have.
    const ScreenModel* screen(const OrvexCore::UUID& terminalID) const;

    /// Bytes that repaint the terminal's screen on a terminal of the model's size; empty for
    /// an unknown terminal.
    std::string redraw(const OrvexCore::UUID& terminalID) const;

    /// Sets the terminal's program and its model to `rows` by `cols` together (at least 1 row
    /// and 2 columns), so the output the program draws for its new size lands on a model of that
    /// size. The program is told only when the size changes. Unknown terminals are ignored.
    void resize(const OrvexCore::UUID& terminalID, int rows, int cols);

    /// How many models are kept.
    std::size_t size() const { return models_.size(); }

private:
    void sync();
    ScreenModel& modelFor(const OrvexCore::UUID& terminalID);

    TerminalHost& host_;
    std::unordered_map<OrvexCore::UUID, std::unique_ptr<ScreenModel>> models_;
    boost::signals2::scoped_connection watch_;
    std::shared_ptr<bool> alive_;
};

} // namespace OrvexServer
