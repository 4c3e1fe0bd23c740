#pragma once

#include <optional>

#include "OrvexPty/ForegroundSnapshot.hpp"

namespace OrvexPty {

/// Reads what a terminal's foreground processes are doing. The seam between the activity
/// detector and the operating system: tests hand the detector a fake.
class ForegroundProbe {
public:
    virtual ~ForegroundProbe() = default;
    /// The snapshot now, or none when the terminal or its shell can no longer be read.
    virtual std::optional<ForegroundSnapshot> probe() = 0;
};

} // namespace OrvexPty
