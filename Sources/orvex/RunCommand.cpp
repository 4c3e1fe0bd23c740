#include <filesystem>

#include <unistd.h>

#include <fmt/format.h>

#include "OrvexServer/ServerConnection.hpp"
#include "OrvexServer/ServerPaths.hpp"
#include "orvex/AttachClient.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Commands.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Output.hpp"
#include "orvex/RawTerminal.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"
#include "orvex/StatusRow.hpp"

namespace Orvex {

using OrvexCore::Session;
namespace AF = OrvexServer::AttachFrame;

namespace {

/// The programs' screens are drawn on the user's terminal as they are, alternate screen
/// included (a redraw switches between the two as the program did), so the client starts from
/// a clear primary screen rather than an alternate screen of its own.
constexpr std::string_view enterScreen = "\x1b[H\x1b[2J";
/// Undoes what an attached program may have switched on (alternate screen, scroll region,
/// mouse reports, paste marks, cursor and keypad modes, hidden cursor, pen) and clears the
/// screen.
constexpr std::string_view leaveScreen =
    "\x1b[?1049l\x1b[r\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1006l\x1b[?1004l\x1b[?2004l\x1b[?1l"
    "\x1b>\x1b[?25h\x1b[0m\x1b[H\x1b[2J";

std::string farewell(const Session& session, const AttachClient::Ending& ending) {
    using Reason = AF::Detached::Reason;
    if (ending.allExited) {
        return fmt::format("[every program of {} has ended]\n", session.slug);
    }
    if (ending.reason == Reason::requested) {
        return fmt::format("[detached from {}; its programs keep running]\n", session.slug);
    }
    std::string why = ending.message.empty() ? "the attachment ended" : ending.message;
    return fmt::format("[detached from {}: {}]\n", session.slug, why);
}

} // namespace

void runCommand(Runtime& rt, const RunArgs& args) {
    Session session = findSession(rt, args.session);
    workspaceOf(rt, session);
    std::error_code ec;
    if (!std::filesystem::is_directory(session.worktreePath, ec)) {
        throw CliFailure(ExitStatus::notFound,
                         fmt::format("the folder of session {} is missing: {}", session.slug,
                                     session.worktreePath));
    }
    if (isatty(STDOUT_FILENO) != 1) {
        throw CliFailure(ExitStatus::usage, "orvex run needs a terminal on standard output");
    }
    auto& state = rt.state();
    state.focusSession(session.id);

    auto window = windowSize(STDOUT_FILENO).value_or(WindowSize{});
    auto programs = StatusRow::programSize(window);
    auto connection =
        OrvexServer::ServerConnection::connect(OrvexServer::ServerPaths::current().socketPath);
    auto attached = connection->attach(nlohmann::json{{"id", session.id.string()},
                                                      {"terminal", 0},
                                                      {"rows", programs.rows},
                                                      {"cols", programs.cols}});
    connection.reset();

    RawTerminal raw(STDIN_FILENO);
    writeAll(STDOUT_FILENO, enterScreen);
    AttachClient client(attached.fd, std::move(attached.pending), STDIN_FILENO, STDOUT_FILENO);
    AttachClient::Ending ending;
    try {
        ending = client.run();
    } catch (...) {
        writeAll(STDOUT_FILENO, leaveScreen);
        throw;
    }
    writeAll(STDOUT_FILENO, leaveScreen);
    raw.restore();
    if (ending.interrupted) {
        throw CliFailure(ExitStatus::interrupted,
                         fmt::format("interrupted; the programs of {} keep running", session.slug));
    }
    writeAll(STDOUT_FILENO, farewell(session, ending));
}

} // namespace Orvex
