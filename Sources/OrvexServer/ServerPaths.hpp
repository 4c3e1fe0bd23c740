#pragma once

#include <string>

namespace OrvexServer {

/// Where the server of the current user keeps its socket, lock, log and state.
struct ServerPaths {
    /// The private folder holding the socket and the lock: "$XDG_RUNTIME_DIR/orvex", or, when
    /// that variable is unset or empty, "orvex-<uid>" in the temporary folder.
    std::string runtimeDir;
    /// "<runtimeDir>/server.sock".
    std::string socketPath;
    /// "<runtimeDir>/server.lock": held with flock by the one running server.
    std::string lockPath;
    /// The folder of store.json; the log lives beside it.
    std::string stateDir;
    /// "<stateDir>/server.log": the standard streams of a server started in the background.
    std::string logPath;

    /// The paths for this process's environment and user. Touches no file.
    static ServerPaths current();

    /// Creates `runtimeDir` with mode 0700 when missing (and its parent for the XDG case), and
    /// checks that it is a real folder (not a link) owned by this user and closed to group and
    /// others. Throws std::runtime_error saying what is wrong; a folder that others may enter
    /// is refused rather than repaired, since someone else may already have planted a socket.
    void prepareRuntimeDir() const;
};

} // namespace OrvexServer
