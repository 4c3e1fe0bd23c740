#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvexServer/ServerPaths.hpp"

namespace OrvexServer {

/// No server answers, and none could be started.
class ServerUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A client's blocking connection to the server: one request at a time, answered in order
/// (events, if the connection subscribed to any, are skipped by `call`). Thread-safe: calls
/// from several threads take turns.
class ServerConnection {
public:
    /// Connects to the server at `socketPath` and exchanges `hello`. Throws ServerUnavailable
    /// when nothing listens there, and the server's error (Protocol::raise) when it refuses.
    static std::unique_ptr<ServerConnection> connect(const std::string& socketPath);

    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    /// Sends one request and returns its result; raises the answer's error (core errors as
    /// themselves, others as Protocol::RemoteFailure). Throws ServerUnavailable when the
    /// connection breaks.
    nlohmann::json call(const std::string& method,
                        nlohmann::json params = nlohmann::json::object());
    /// A connection the server switched to attach frames.
    struct Attached {
        /// The socket, now owned by the caller.
        int fd;
        /// Frame bytes that arrived behind the answer line.
        std::string pending;
    };
    /// Sends `attach` with `params` and, once the server accepted it, gives up the socket:
    /// this connection can make no more calls. Raises the server's error as `call` does.
    Attached attach(nlohmann::json params);

    /// The socket, to wait (poll) for events on a connection that subscribed to some.
    int descriptor() const { return fd_; }
    /// Reads once what the server has sent and returns the events among the complete lines;
    /// call it when `descriptor()` is readable, so it does not block. Throws ServerUnavailable
    /// once the server has closed the connection.
    std::vector<nlohmann::json> readEvents();
    /// Called for each changed file of a listing answer.
    using FileVisit = std::function<void(std::string_view path, std::int64_t added,
                                         std::int64_t removed, char status)>;
    /// `call` for methods whose result lists changed files ("files": path, added, removed,
    /// status):
    /// each file goes to `visit` as it is read off the socket and the returned result's
    /// "files" is left empty, so the answer is held neither as text nor as a document.
    /// `restart` is called when a line read turns out not to be the answer (an event), so
    /// that what `visit` collected from it can be dropped.
    nlohmann::json callListing(const std::string& method, nlohmann::json params,
                               const FileVisit& visit, const std::function<void()>& restart);
    /// The server's answer to `hello` (version, pid, notices).
    const nlohmann::json& greeting() const { return greeting_; }

private:
    explicit ServerConnection(int fd) : fd_(fd) {}
    std::string readLine();
    /// Sends one request line with a fresh id; returns the id.
    long long send(const std::string& method, nlohmann::json params);
    /// The answer's result when `answer` answers request `id`; throws its error; nothing
    /// when the line is something else (an event, another answer).
    std::optional<nlohmann::json> resultOf(nlohmann::json& answer, long long id);

    int fd_;
    long long nextID_ = 1;
    std::string input_;
    nlohmann::json greeting_;
    std::mutex mutex_;
};

/// Connects to the user's server, first starting one in the background when none answers
/// (`executable server run`, in its own session, its output appended to the log) and waiting
/// up to `patience` for it to answer. Throws std::runtime_error for an unsafe socket folder
/// and ServerUnavailable when no server answers in time.
std::unique_ptr<ServerConnection>
connectOrStart(const ServerPaths& paths, const std::string& executable,
               std::chrono::milliseconds patience = std::chrono::seconds(30));

/// Starts `executable server run` detached from the caller: a new session, no terminal,
/// standard input from /dev/null, output appended to `paths.logPath`. Returns the server's
/// process id; it is not the caller's child.
int startDetached(const ServerPaths& paths, const std::string& executable);

} // namespace OrvexServer
