#pragma once

#include <chrono>
#include <optional>

#include "OrvexCore/Status/TerminalActivity.hpp"

namespace OrvexCore {

/// The activity implied by command timing alone: `idle` when nothing was submitted or the last
/// submission has finished (a finish at the same instant counts), `working` while less than
/// `maxRuntime` seconds have passed since the submission, `idle` after that. Never
/// `needsInput`. Pure; any thread.
TerminalActivity commandActivity(std::optional<std::chrono::system_clock::time_point> lastSubmitted,
                                 std::optional<std::chrono::system_clock::time_point> lastFinished,
                                 std::chrono::system_clock::time_point now, double maxRuntime);

} // namespace OrvexCore
