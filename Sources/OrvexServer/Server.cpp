#include "OrvexServer/Server.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/FileUserDefaults.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexServer/Attachments.hpp"
#include "OrvexServer/Notifier.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/TerminalHost.hpp"
#include "OrvexServer/TerminalScreens.hpp"
#include "OrvexServer/WebServer.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
using nlohmann::json;
using OrvexCore::SessionStatus;
using OrvexCore::UUID;

namespace {

/// More clients than this at once are turned away as they connect.
constexpr std::size_t maxConnections = 256;

void logLine(const std::string& line) {
    auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    // Never throws: a log that cannot be written (its reader gone) must not stop the server.
    std::string text = fmt::format("{} orvex server[{}]: {}\n", stamp, ::getpid(), line);
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

/// Whether a server answers on `socketPath` (a connect succeeds).
bool answers(const std::string& socketPath) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

Server::Server(ServerPaths paths) : paths_(std::move(paths)), signals_(io_) {
    // A client that vanishes mid-write must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
}

Server::~Server() {
    // After a failure out of run(), accepts, reads and the signal wait may still be pending:
    // ended here, or the run below would wait for them for ever.
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    if (acceptor_) {
        acceptor_->close(ignored);
    }
    for (const auto& connection : std::set(connections_)) {
        connection->close();
    }
    connections_.clear();
    attachments_.reset();
    web_.reset();
    screens_.reset();
    terminals_.reset();
    notifier_.reset();
    state_.reset();
    // Background work may still hold the context's work guard for a moment.
    io_.restart();
    io_.run();
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

bool Server::takeLock() {
    lockFd_ = ::open(paths_.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        throw std::runtime_error(
            fmt::format("cannot open the lock file {}: {}", paths_.lockPath, std::strerror(errno)));
    }
    // A server that is stopping holds the lock after removing its socket: wait for it rather
    // than leave the client that started us without a server.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (answers(paths_.socketPath) || std::chrono::steady_clock::now() > deadline) {
            ::close(lockFd_);
            lockFd_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lockFd_, 0) == 0) {
        [[maybe_unused]] auto written = ::write(lockFd_, pid.data(), pid.size());
    }
    return true;
}

void Server::listen() {
    using asio::local::stream_protocol;
    // Holding the lock, any socket file left here belongs to a server that died.
    ::unlink(paths_.socketPath.c_str());
    acceptor_ = std::make_unique<stream_protocol::acceptor>(io_);
    stream_protocol::endpoint endpoint(paths_.socketPath);
    acceptor_->open(endpoint.protocol());
    acceptor_->bind(endpoint);
    ::chmod(paths_.socketPath.c_str(), 0600);
    acceptor_->listen(asio::socket_base::max_listen_connections);
}

Server::Outcome Server::run() {
    paths_.prepareRuntimeDir();
    if (!takeLock()) {
        return Outcome::alreadyRunning;
    }
    // The programs draw for the server's screen models and its clients, which understand
    // xterm's sequences, not for whatever terminal (or none) the command that started the
    // server had.
    ::setenv("TERM", "xterm-256color", 1);
    // Only now: while waiting for the lock there is nothing to save, and a signal caught but
    // not handled until the wait ends would leave the process deaf to SIGTERM meanwhile.
    signals_.add(SIGINT);
    signals_.add(SIGTERM);
    signals_.add(SIGHUP);
    store_ =
        std::make_shared<OrvexCore::JSONSessionStore>(OrvexCore::JSONSessionStore::defaultURL());
    // As AppState::live(), keeping the store so answers can wait for their write.
    state_ = std::make_shared<OrvexCore::AppState>(
        io_.get_executor(), std::make_shared<OrvexCore::GitCLIService>(), store_,
        OrvexCore::SlugGenerator::standard(), OrvexCore::AppState::defaultSessionsRoot(),
        OrvexCore::DiffHelperClient::create(OrvexCore::DiffHelperClient::defaultHelperURL()));
    defaults_ = std::make_shared<OrvexCore::FileUserDefaults>();
    settings_ = std::make_unique<OrvexCore::AppSettings>(defaults_);
    if (auto moved = defaults_->movedAsidePath()) {
        notices_.push_back(fmt::format(
            "the settings file {} could not be read; it was moved to {} and the defaults apply",
            defaults_->path(), *moved));
    }
    terminals_ = std::make_unique<TerminalHost>(io_.get_executor(), TerminalHost::monitorConfig());
    screens_ = std::make_unique<TerminalScreens>(*terminals_);
    attachments_ = std::make_unique<Attachments>(*terminals_, *screens_, [this](const UUID& id) {
        auto session = state_->session(id);
        if (!session || stopping_) {
            return false;
        }
        // A grid whose programs have all ended has nothing to show: it starts afresh.
        const auto& refs = terminals_->controller().terminals(id);
        if (!refs.empty() &&
            std::all_of(refs.begin(), refs.end(), [](const auto& ref) { return ref.isExited; })) {
            closeGrid(id);
        }
        terminals_->openGrid(*session);
        return true;
    });
    attach_ = [this](Connection::Socket socket, std::string pending, json params) {
        attachments_->attach(std::move(socket), std::move(pending), params);
    };
    notifier_ = std::make_unique<Notifier>(io_.get_executor(), logLine);
    // Nobody needs telling about a session they are looking at.
    notifier_->setAttached(
        [this](const UUID& session) { return attachments_->isAttached(session); });
    applySettingsToTerminals();
    watchTerminals();
    startWeb();
    auto sessionsWatch = state_->sessions().observe([this](const std::vector<OrvexCore::Session>&) {
        broadcast("stateChanged", json::object());
    });
    auto workspacesWatch =
        state_->workspaces().observe([this](const std::vector<OrvexCore::Workspace>&) {
            broadcast("stateChanged", json::object());
        });

    std::exception_ptr failure;
    asio::co_spawn(io_, start(), [&](std::exception_ptr e) {
        if (e) {
            failure = e;
            io_.stop();
        }
    });
    watchSignals();
    io_.run();
    sessionsWatch.disconnect();
    workspacesWatch.disconnect();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return Outcome::stopped;
}

asio::awaitable<void> Server::start() {
    applySettingsToState();
    co_await state_->loadPersisted();
    if (auto moved = state_->setAsideStoreFile()) {
        notices_.push_back(fmt::format(
            "the state file {} could not be read; it was moved to {} and Orvex started empty",
            store_->fileURL().string(), *moved));
    }
    settleLostStatuses();
    try {
        co_await state_->ensureDiffHelperRunning();
    } catch (const std::exception& e) {
        helperError_ = e.what();
        // The helper ships beside orvex; naming that folder tells the user what to fix, where
        // the pool's own error names a fallback build folder that means nothing here.
        namespace Paths = OrvexCore::Paths;
        const std::string folder = Paths::deletingLastComponent(Paths::mainExecutablePath());
        if (::access(Paths::appendingComponent(folder, "OrvexDiffHelper").c_str(), X_OK) != 0) {
            helperError_ = fmt::format("OrvexDiffHelper must sit beside orvex, in {}", folder);
        }
        logLine("the diff helper cannot be started: " + helperError_);
    }
    listen();
    logLine(fmt::format("listening on {}", paths_.socketPath));
    try {
        web_->listen(static_cast<unsigned short>(settings_->webPort()));
        logLine(fmt::format("serving the web page on 127.0.0.1:{}", web_->port()));
    } catch (const std::exception& e) {
        // The terminals and the command line work without the page.
        webError_ = fmt::format("the web page cannot listen on port {}: {}", settings_->webPort(),
                                e.what());
        logLine(webError_);
    }
    for (const auto& notice : notices_) {
        logLine(notice);
    }
    asio::co_spawn(io_, acceptLoop(), [](std::exception_ptr) {});
}

void Server::applySettingsToState() {
    // The user's sessions root (already repaired to a folder in the home folder) decides where
    // new worktrees go.
    state_->sessionsRoot().set(std::filesystem::path(settings_->sessionsRootPath()));
}

void Server::applySettingsToTerminals() {
    auto config = terminals_->activityConfig();
    config.quietSeconds = settings_->activityQuietSeconds();
    config.questionPatterns = settings_->activityQuestionPatterns();
    terminals_->setActivityConfig(std::move(config));
    notifier_->setCommand(settings_->notifyCommand());
}

void Server::watchTerminals() {
    // Names for a notice about a terminal, looked up when it is due.
    auto subject = [this](const UUID& session, const UUID& terminal) {
        Notifier::Subject subject{session, terminal, {}, {}, {}};
        if (auto record = state_->session(session)) {
            subject.session = record->title.empty() ? record->slug : record->title;
            for (const auto& workspace : state_->workspaces().get()) {
                if (workspace.id == record->workspaceID) {
                    subject.workspace = workspace.displayName;
                }
            }
        }
        for (const auto& ref : terminals_->controller().terminals(session)) {
            if (ref.id == terminal) {
                subject.terminal = ref.title;
            }
        }
        return subject;
    };
    terminals_->onStatus = [this, subject](const TerminalHost::StatusChange& change) {
        if (change.sessionChanged) {
            state_->liveStatuses().modify([&](std::map<UUID, SessionStatus>& statuses) {
                statuses[change.sessionID] = change.status;
            });
        }
        json data{{"sessionID", change.sessionID.string()},
                  {"status", OrvexCore::rawValue(change.status)},
                  {"terminalID", change.terminalID ? json(change.terminalID->string()) : json()}};
        if (change.terminal) {
            data["terminalStatus"] = change.terminal->name();
            data["reason"] = change.terminal->report.reason;
        }
        broadcast("statusChanged", data);
        attachments_->statusChanged(change.sessionID);
        if (change.terminalID && change.terminal) {
            if (change.terminal->exited) {
                notifier_->forget(*change.terminalID);
            } else {
                notifier_->statusChanged(subject(change.sessionID, *change.terminalID),
                                         change.terminal->report.activity);
            }
        }
    };
    terminals_->onBell = [this, subject](const UUID& session, const UUID& terminal) {
        state_->bellPending().modify([&](std::set<UUID>& pending) { pending.insert(session); });
        broadcast("bell", {{"sessionID", session.string()}, {"terminalID", terminal.string()}});
        attachments_->bell(session, terminal);
        notifier_->bell(subject(session, terminal));
    };
    terminals_->onExit = [this](const UUID& session, const UUID& terminal,
                                std::optional<std::int32_t> code) {
        broadcast("terminalExited", {{"sessionID", session.string()},
                                     {"terminalID", terminal.string()},
                                     {"exitCode", code ? json(*code) : json(nullptr)}});
        attachments_->exited(session, terminal, code);
    };
}

json Server::terminalsOf(const UUID& sessionID) {
    json terminals = json::array();
    for (const auto& ref : terminals_->controller().terminals(sessionID)) {
        auto status = terminals_->terminalStatus(ref.id);
        terminals.push_back({{"id", ref.id.string()},
                             {"title", ref.title},
                             {"exited", ref.isExited},
                             {"exitCode", ref.exitCode ? json(*ref.exitCode) : json(nullptr)},
                             {"status", status ? status->name() : "idle"},
                             {"reason", status ? status->report.reason : ""}});
    }
    return terminals;
}

void Server::settleLostStatuses() {
    // No terminal survives its server: a status saved while programs ran describes programs
    // that are gone.
    bool changed = false;
    state_->liveStatuses().modify([&](std::map<UUID, SessionStatus>& statuses) {
        for (const auto& session : state_->sessions().get()) {
            if (session.lastKnownStatus == SessionStatus::running ||
                session.lastKnownStatus == SessionStatus::needsInput) {
                statuses[session.id] = SessionStatus::idle;
                changed = true;
            }
        }
    });
    if (changed) {
        state_->flushPersist();
    }
}

void Server::watchSignals() {
    signals_.async_wait([this](const boost::system::error_code& error, int signal) {
        if (error) {
            return;
        }
        logLine(fmt::format("signal {} received: stopping", signal));
        requestStop();
        watchSignals();
    });
}

void Server::requestStop() {
    if (stopping_) {
        return;
    }
    stopping_ = true;
    asio::co_spawn(io_, shutdown(), [this](std::exception_ptr e) {
        if (e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& error) {
                logLine(std::string("stopping failed: ") + error.what());
            }
        }
        boost::system::error_code ignored;
        signals_.cancel(ignored);
        stopped_ = true;
        io_.stop();
    });
}

asio::awaitable<void> Server::acceptLoop() {
    while (!stopping_) {
        asio::local::stream_protocol::socket socket(io_);
        try {
            co_await acceptor_->async_accept(socket, asio::use_awaitable);
        } catch (const boost::system::system_error& e) {
            if (stopping_ || e.code() == asio::error::operation_aborted) {
                co_return;
            }
            // Out of descriptors and the like: the next accept may succeed.
            continue;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            peer.uid != ::getuid()) {
            logLine(fmt::format("refused a client of uid {}", static_cast<long>(peer.uid)));
            continue;
        }
        if (connections_.size() + attachments_->clientCount() >= maxConnections) {
            continue;
        }
        auto connection = std::make_shared<Connection>(
            std::move(socket), Connection::Limits{Protocol::maxLineBytes},
            [this](std::shared_ptr<Connection> c, std::string method, json params) {
                return handle(std::move(c), std::move(method), std::move(params));
            },
            attach_);
        connections_.insert(connection);
        std::weak_ptr<Connection> weak = connection;
        connection->start([this, weak] {
            if (auto c = weak.lock()) {
                connections_.erase(c);
            }
        });
    }
}

void Server::broadcast(const std::string& event, const json& data) {
    // Sending may drop a client and so change the set.
    auto clients = connections_;
    for (const auto& connection : clients) {
        connection->sendEvent(event, data);
    }
    if (web_) {
        web_->broadcast(event, data);
    }
}

void Server::recordClosedStatus(const UUID& sessionID) {
    // The programs are gone: "working" or "needs input" would be stale the moment it is saved.
    SessionStatus status =
        state_->bellPending().get().contains(sessionID) ? SessionStatus::bell : SessionStatus::idle;
    state_->liveStatuses().modify(
        [&](std::map<UUID, SessionStatus>& statuses) { statuses[sessionID] = status; });
    broadcast("statusChanged", {{"sessionID", sessionID.string()},
                                {"status", OrvexCore::rawValue(status)},
                                {"terminalID", nullptr}});
}

void Server::closeGrid(const UUID& sessionID) {
    if (!terminals_->hasGrid(sessionID)) {
        return;
    }
    auto& controller = terminals_->controller();
    auto layout = controller.layout(sessionID);
    if (!layout.empty()) {
        state_->saveGridLayout(layout, sessionID);
        state_->saveGridTitles(controller.orderedTitles(sessionID), sessionID);
    }
    attachments_->gridClosed(sessionID);
    for (const auto& ref : controller.terminals(sessionID)) {
        notifier_->forget(ref.id);
    }
    terminals_->closeGrid(sessionID);
    recordClosedStatus(sessionID);
}

asio::awaitable<void> Server::durable() {
    // Some changes (a grid's layout and titles) only schedule a delayed save: an answer
    // promises the change is on disk, so it is handed to the store now.
    state_->flushPersist();
    auto store = store_;
    auto work = [store] { store->flush(); };
    co_await OrvexCore::inBackground(std::move(work));
}

asio::awaitable<void> Server::shutdown() {
    logLine("stopping");
    boost::system::error_code ignored;
    if (acceptor_) {
        acceptor_->close(ignored);
    }
    ::unlink(paths_.socketPath.c_str());
    auto clients = connections_;
    for (const auto& connection : clients) {
        connection->closeWhenWritten();
    }
    attachments_->stopAll();
    web_->close();
    for (const auto& session : terminals_->openSessions()) {
        closeGrid(session);
    }
    terminals_->closeAll();
    co_await terminals_->reaped();
    state_->flushPersist();
    co_await state_->shutdownDiffHelper();
    logLine("stopped");
}

} // namespace OrvexServer
