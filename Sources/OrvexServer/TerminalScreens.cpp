#include "OrvexServer/TerminalScreens.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include <sys/ioctl.h>

#include "OrvexPty/PtyTerminalEngine.hpp"
#include "OrvexServer/TerminalHost.hpp"

namespace OrvexServer {

using OrvexCore::TerminalRef;
using OrvexCore::UUID;

namespace {

std::optional<OrvexPty::PtyTerminalEngine::TerminalProcess> processOf(const TerminalRef& ref) {
    if (!ref.handle || ref.isExited) {
        return std::nullopt;
    }
    return OrvexPty::PtyTerminalEngine::processOf(*ref.handle);
}

/// The size the program was given, read back from its pseudo-terminal.
std::pair<int, int> programSize(const TerminalRef& ref) {
    if (auto process = processOf(ref)) {
        winsize size{};
        if (::ioctl(process->masterFD, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 &&
            size.ws_col > 0) {
            return {size.ws_row, size.ws_col};
        }
    }
    return {TerminalScreens::defaultRows, TerminalScreens::defaultCols};
}

} // namespace

TerminalScreens::TerminalScreens(TerminalHost& host)
    : host_(host), alive_(std::make_shared<bool>(true)) {
    host_.addOutputHook(TerminalHost::Stage::screen,
                        [this, alive = std::weak_ptr<bool>(alive_)](const UUID& terminalID,
                                                                    std::string_view bytes) {
                            if (alive.lock()) {
                                modelFor(terminalID).feed(bytes);
                            }
                        });
    watch_ =
        host_.controller().terminals().observe([this](const std::vector<TerminalRef>&) { sync(); });
    sync();
}

TerminalScreens::~TerminalScreens() = default;

void TerminalScreens::sync() {
    const auto& terminals = host_.controller().terminals().get();
    std::unordered_set<UUID> present;
    for (const auto& ref : terminals) {
        present.insert(ref.id);
        if (!models_.contains(ref.id)) {
            auto [rows, cols] = programSize(ref);
            models_.emplace(ref.id, std::make_unique<ScreenModel>(rows, cols));
        }
    }
    std::erase_if(models_, [&](const auto& entry) { return !present.contains(entry.first); });
}

ScreenModel& TerminalScreens::modelFor(const UUID& terminalID) {
    auto it = models_.find(terminalID);
    if (it == models_.end()) {
        // Output before the list told us of the terminal: make its model now, at its size.
        sync();
        it = models_.find(terminalID);
        if (it == models_.end()) {
            it =
                models_.emplace(terminalID, std::make_unique<ScreenModel>(defaultRows, defaultCols))
                    .first;
        }
    }
    return *it->second;
}

const ScreenModel* TerminalScreens::screen(const UUID& terminalID) const {
    auto it = models_.find(terminalID);
    return it == models_.end() ? nullptr : it->second.get();
}

std::string TerminalScreens::redraw(const UUID& terminalID) const {
    const ScreenModel* model = screen(terminalID);
    return model ? model->redraw() : std::string();
}

void TerminalScreens::resize(const UUID& terminalID, int rows, int cols) {
    auto it = models_.find(terminalID);
    if (it == models_.end()) {
        return;
    }
    rows = std::clamp(rows, 1, 0xffff);
    // The model is never narrower than two columns; the program gets the same width.
    cols = std::clamp(cols, 2, 0xffff);
    ScreenModel& model = *it->second;
    if (model.rows() == rows && model.cols() == cols) {
        return;
    }
    // The model first: the program answers the size change with output drawn for the new size.
    model.resize(rows, cols);
    for (const auto& ref : host_.controller().terminals().get()) {
        if (ref.id != terminalID) {
            continue;
        }
        if (auto process = processOf(ref)) {
            winsize size{};
            size.ws_row = static_cast<unsigned short>(rows);
            size.ws_col = static_cast<unsigned short>(cols);
            // The kernel signals the program's foreground process group (SIGWINCH).
            ::ioctl(process->masterFD, TIOCSWINSZ, &size);
        }
        break;
    }
}

} // namespace OrvexServer
