#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <nlohmann/json.hpp>

#include <functional>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexServer/Connection.hpp"
#include "OrvexServer/ServerPaths.hpp"

namespace OrvexCore {
class AppState;
class AppSettings;
class FileUserDefaults;
class JSONSessionStore;
} // namespace OrvexCore

namespace OrvexServer {

class Notifier;
class TerminalHost;
class TerminalScreens;
class Attachments;
class WebServer;

/// The per-user server: the one owner of the application state and its file, the settings
/// file, the diff helper pool and every session's terminals, serving clients over a Unix
/// socket (docs/protocol.md).
///
/// Life: `run()` takes the lock (one server per user), loads and reconciles the state, marks
/// sessions whose programs were lost with a previous server as no longer running, listens,
/// and serves until `server.stop`, SIGTERM, SIGINT or SIGHUP; then it closes every grid (hang-up,
/// then SIGKILL after a grace period), records the statuses, flushes the state, stops the helper
/// pool and removes its socket. Everything runs on the one thread that calls `run()`.
class Server {
public:
    /// What `run()` ended with.
    enum class Outcome { stopped, alreadyRunning };

    explicit Server(ServerPaths paths);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Serves until stopped. Throws std::runtime_error when the socket folder is unsafe or the
    /// socket cannot be made.
    Outcome run();

    /// Takes over connections that ask to attach (the frame protocol's handler).
    void setAttachHandler(Connection::AttachHandler handler) { attach_ = std::move(handler); }
    /// The terminals, for the handlers that plug into their output. Valid during `run()`.
    TerminalHost& terminals() { return *terminals_; }
    /// Every terminal's screen model. Valid during `run()`.
    TerminalScreens& screens() { return *screens_; }
    /// The clients attached to grids (who looks at which session). Valid during `run()`.
    Attachments& attachments() { return *attachments_; }
    boost::asio::io_context& io() { return io_; }

private:
    using Params = nlohmann::json;
    using Result = boost::asio::awaitable<nlohmann::json>;

    bool takeLock();
    void listen();
    boost::asio::awaitable<void> start();
    boost::asio::awaitable<void> acceptLoop();
    boost::asio::awaitable<void> shutdown();
    void requestStop();
    void watchSignals();
    void settleLostStatuses();
    void applySettingsToState();
    void applySettingsToTerminals();
    void watchTerminals();
    nlohmann::json terminalsOf(const OrvexCore::UUID& sessionID);
    void broadcast(const std::string& event, const nlohmann::json& data);
    void recordClosedStatus(const OrvexCore::UUID& sessionID);
    void closeGrid(const OrvexCore::UUID& sessionID);
    boost::asio::awaitable<void> durable();

    Result handle(std::shared_ptr<Client> client, std::string method, Params params);
    Result hello(Client& client, const Params& params);
    nlohmann::json snapshot();
    Result stateMethod(const std::string& method, const Params& params);
    /// The workspace's local and remote branches, listed off the main thread.
    Result branches(OrvexCore::UUID workspaceID);
    Result sessionMethod(const std::string& method, const Params& params);
    Result gridMethod(const std::string& method, const Params& params);
    /// The review panel's methods (ServerReview.cpp).
    Result reviewMethod(const std::string& method, const Params& params);
    Result terminalMethod(const std::string& method, const Params& params);
    /// Starts a shell in the session's open grid and saves the grid's layout with it.
    Result addTerminal(OrvexCore::UUID sessionID);
    nlohmann::json gridAnswer(const OrvexCore::UUID& sessionID);
    /// Keeps the grid's layout and titles in the session's record and tells the pages.
    void gridChanged(const OrvexCore::UUID& sessionID);
    void startWeb();
    nlohmann::json settingsMethod(const std::string& method, const Params& params);

    ServerPaths paths_;
    boost::asio::io_context io_;
    boost::asio::signal_set signals_;
    std::unique_ptr<boost::asio::local::stream_protocol::acceptor> acceptor_;
    int lockFd_ = -1;
    std::shared_ptr<OrvexCore::JSONSessionStore> store_;
    std::shared_ptr<OrvexCore::AppState> state_;
    std::shared_ptr<OrvexCore::FileUserDefaults> defaults_;
    std::unique_ptr<OrvexCore::AppSettings> settings_;
    std::unique_ptr<TerminalHost> terminals_;
    std::unique_ptr<WebServer> web_;
    std::string webError_;
    std::unique_ptr<TerminalScreens> screens_;
    std::unique_ptr<Attachments> attachments_;
    std::unique_ptr<Notifier> notifier_;
    std::set<std::shared_ptr<Connection>> connections_;
    std::vector<std::string> notices_;
    std::string helperError_;
    Connection::AttachHandler attach_;
    bool stopping_ = false;
    bool stopped_ = false;
};

} // namespace OrvexServer
