#pragma once

#include "OrvexCore/Models/PersistedState.hpp"

namespace OrvexCore {

/// Where the application state keeps its `PersistedState`: loaded once at start, handed a
/// fresh snapshot after every change.
class SessionStore {
public:
    virtual ~SessionStore() = default;

    /// The stored state, or the empty state when nothing was stored yet. Throws when the
    /// stored state cannot be read or decoded; never returns part of a state.
    virtual PersistedState load() = 0;

    /// Hands over the newest snapshot (taken by value: move a fresh snapshot in to spare a
    /// copy). A buffering store may write it later (see flush).
    virtual void save(PersistedState state) = 0;

    /// Returns once every snapshot handed to `save` before the call is stored; throws when it
    /// cannot be stored (never returns as if it were). A store that does not buffer has
    /// nothing to do.
    virtual void flush() {}
};

} // namespace OrvexCore
