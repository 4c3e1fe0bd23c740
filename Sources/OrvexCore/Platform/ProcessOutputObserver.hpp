#pragma once

#include <string_view>

namespace OrvexCore::Platform {

/// Sees the standard output of the children that `runToCompletion` and `runWithInput` run on
/// one thread, piece by piece as it is read, while the call still waits for the child. It lets
/// a caller work on the output as it arrives (overlapping that work with the child's run)
/// through a layer that only hands back the whole output at the end, such as a git service.
///
/// What it sees is exactly what those calls return as the output, in order; the calls keep
/// the output as they always do. As an observer takes the output piece by piece, a watched
/// child's output pipe is enlarged (where the system allows) and read in gathered pieces, a
/// millisecond's worth at most, rather than at each of the child's writes; the child's end is
/// still seen at once. Watching is per thread: see `Scope`.
class OutputObserver {
public:
    virtual ~OutputObserver() = default;

    /// A child has been launched: the pieces that follow are its output.
    virtual void started() noexcept = 0;
    /// The next piece of the current child's standard output.
    virtual void received(std::string_view bytes) noexcept = 0;

    /// Makes `observer` see the children run on the calling thread from its construction to
    /// its end, then restores whichever observer was watching before.
    class Scope {
    public:
        explicit Scope(OutputObserver& observer) noexcept;
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        OutputObserver* previous_;
    };

    /// The observer watching the calling thread, or null.
    static OutputObserver* current() noexcept;
};

} // namespace OrvexCore::Platform
