#include "OrvexCore/Status/CommandActivity.hpp"

namespace OrvexCore {

TerminalActivity commandActivity(std::optional<std::chrono::system_clock::time_point> lastSubmitted,
                                 std::optional<std::chrono::system_clock::time_point> lastFinished,
                                 std::chrono::system_clock::time_point now, double maxRuntime) {
    if (!lastSubmitted) {
        return TerminalActivity::idle;
    }
    if (lastFinished && *lastFinished >= *lastSubmitted) {
        return TerminalActivity::idle;
    }
    const double running = std::chrono::duration<double>(now - *lastSubmitted).count();
    return running < maxRuntime ? TerminalActivity::working : TerminalActivity::idle;
}

} // namespace OrvexCore
