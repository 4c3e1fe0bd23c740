#pragma once

#include <string>

#include "OrvexCore/Status/TerminalActivity.hpp"

namespace OrvexPty {

/// A terminal's status and, in words, why: "bash is at its prompt", "python3 is reading the
/// terminal", "make has been running for 40 s without output".
struct ActivityReport {
    OrvexCore::TerminalActivity activity = OrvexCore::TerminalActivity::idle;
    std::string reason;

    bool operator==(const ActivityReport&) const = default;
};

} // namespace OrvexPty
