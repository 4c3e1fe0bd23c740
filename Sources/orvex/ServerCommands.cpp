#include <cerrno>

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "OrvexCore/Util/Paths.hpp"
#include "OrvexServer/Server.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexServer::ServerConnection;
using OrvexServer::ServerPaths;

namespace {

std::unique_ptr<ServerConnection> runningServer(const ServerPaths& paths) {
    try {
        return ServerConnection::connect(paths.socketPath);
    } catch (const OrvexServer::ServerUnavailable&) {
        return nullptr;
    }
}

/// Waits until the server holding the lock has ended (the kernel releases the lock then).
void waitForExit(const ServerPaths& paths) {
    int fd = ::open(paths.lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    ::close(fd);
}

std::string describeServer(const nlohmann::json& status) {
    std::string text =
        fmt::format("the Orvex server is running (pid {})\n", status.value("pid", 0));
    text += fmt::format("  socket:    {}\n", status.value("socket", ""));
    text += fmt::format("  log:       {}\n", status.value("log", ""));
    text += fmt::format("  state:     {}\n", status.value("store", ""));
    text += fmt::format("  settings:  {}\n", status.value("settings", ""));
    text += fmt::format(
        "  {} workspaces, {} sessions, {} open grids with {} terminals, {} clients\n",
        status.value("workspaces", 0), status.value("sessions", 0), status.value("openGrids", 0),
        status.value("terminals", 0), status.value("clients", 0));
    std::string helper = status.value("diffHelperError", "");
    if (!helper.empty()) {
        text += fmt::format("  the diff helper cannot be started: {}\n", helper);
    }
    return text;
}

} // namespace

void serverCommand(Runtime& rt, const ServerArgs& args) {
    ServerPaths paths = ServerPaths::current();
    auto& out = rt.out().text;
    if (args.action == "run") {
        rt.releaseSignals();
        OrvexServer::Server server(paths);
        if (server.run() == OrvexServer::Server::Outcome::alreadyRunning) {
            throw CliFailure(ExitStatus::failure,
                             fmt::format("a server is already running on {}", paths.socketPath));
        }
        return;
    }
    if (args.action == "start") {
        auto connection =
            OrvexServer::connectOrStart(paths, OrvexCore::Paths::mainExecutablePath());
        out += describeServer(connection->call("server.status"));
        return;
    }
    auto connection = runningServer(paths);
    if (!connection) {
        if (args.action == "status") {
            throw CliFailure(
                ExitStatus::notFound,
                fmt::format("no Orvex server is running (socket {})", paths.socketPath));
        }
        out += "no Orvex server is running\n";
        return;
    }
    if (args.action == "status") {
        out += describeServer(connection->call("server.status"));
        return;
    }
    int pid = connection->greeting().value("pid", 0);
    connection->call("server.stop");
    connection.reset();
    waitForExit(paths);
    out +=
        fmt::format("stopped the Orvex server (pid {}); every terminal it ran was closed\n", pid);
}

void startCommand(Runtime& rt, const StartArgs& args) {
    OrvexCore::Session session = findSession(rt, args.session);
    workspaceOf(rt, session);
    auto terminals = rt.state().openGrid(session.id);
    auto& out = rt.out().text;
    out += fmt::format("{} runs in the Orvex server with {}:\n", session.slug,
                       counted(static_cast<long long>(terminals.size()), "terminal", "terminals"));
    for (const auto& terminal : terminals) {
        out += fmt::format("  {}{}\n", terminal.title, terminal.exited ? " (exited)" : "");
    }
}

void stopCommand(Runtime& rt, const StopArgs& args) {
    OrvexCore::Session session = findSession(rt, args.session);
    std::size_t closed = rt.state().closeGrid(session.id);
    if (closed == 0) {
        rt.out().text += fmt::format("{} is not running\n", session.slug);
        return;
    }
    rt.out().text += fmt::format("stopped {}: closed {} and ended their programs\n", session.slug,
                                 counted(static_cast<long long>(closed), "terminal", "terminals"));
}

} // namespace Orvex
