#pragma once

namespace OrvexCore {

/// Optional for a terminal handle: a surface that can stop drawing while its session is in
/// the background. The controller calls these only for terminals that have not exited, and
/// may call either several times in a row. Main executor only.
class TerminalSurfaceLifecycle {
public:
    virtual ~TerminalSurfaceLifecycle() = default;
    virtual void suspendSurface() = 0;
    virtual void resumeSurface() = 0;
};

} // namespace OrvexCore
