#pragma once

#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/Workspace.hpp"
#include "orvex/Commands.hpp"
#include "orvex/Output.hpp"

namespace Orvex {

class Runtime;
class StateClient;

/// The state's lists and selection, read on the main executor.
const std::vector<OrvexCore::Workspace>& allWorkspaces(StateClient& state);
const std::vector<OrvexCore::Session>& allSessions(StateClient& state);
std::vector<OrvexCore::Session> sessionsOf(StateClient& state, const OrvexCore::UUID& id);
std::optional<OrvexCore::UUID> selectedWorkspace(StateClient& state);

/// The workspace the user named (or the selected one). Throws CliFailure.
OrvexCore::Workspace findWorkspace(Runtime& rt, const std::optional<std::string>& name);
/// The session the user named. Throws CliFailure.
OrvexCore::Session findSession(Runtime& rt, const SessionName& name);
/// The session's workspace; throws CliFailure (notFound) when it is no longer registered.
OrvexCore::Workspace workspaceOf(Runtime& rt, const OrvexCore::Session& session);
/// The current version of a session (after an operation changed it), or nothing.
std::optional<OrvexCore::Session> currentSession(Runtime& rt, const OrvexCore::UUID& id);

/// The status as shown in tables, coloured by what it asks of the user.
std::string statusCell(const Style& style, OrvexCore::SessionStatus status);

/// `path` made absolute against the current folder, tilde expanded, dot segments removed.
std::string absolutePath(const std::string& path);

/// Throws CliFailure (usage) when `value` is empty or only white space: a blank title or name
/// would show as nothing in every list. `what` names the value ("a title").
void requireNonBlank(const std::string& value, const std::string& what);

/// The absolute path of `program` found on $PATH, or nothing.
std::optional<std::string> findOnPath(const std::string& program);

/// Plural helper: "1 file", "2 files".
std::string counted(long long n, const std::string& singular, const std::string& plural);

} // namespace Orvex
