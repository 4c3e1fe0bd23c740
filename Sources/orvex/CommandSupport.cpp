#include "orvex/CommandSupport.hpp"

#include <algorithm>
#include <cstdlib>

#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Resolve.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::SessionStatus;
using OrvexCore::UUID;
using OrvexCore::Workspace;

const std::vector<Workspace>& allWorkspaces(StateClient& state) {
    return state.workspaces();
}

const std::vector<Session>& allSessions(StateClient& state) {
    return state.sessions();
}

std::vector<Session> sessionsOf(StateClient& state, const UUID& id) {
    return state.sessions(id);
}

std::optional<UUID> selectedWorkspace(StateClient& state) {
    return state.selectedWorkspaceID();
}

Workspace findWorkspace(Runtime& rt, const std::optional<std::string>& name) {
    auto& state = rt.state();
    return resolveWorkspace(allWorkspaces(state), name, selectedWorkspace(state));
}

Session findSession(Runtime& rt, const SessionName& name) {
    auto& state = rt.state();
    std::optional<UUID> within;
    if (name.workspace) {
        within = findWorkspace(rt, name.workspace).id;
    }
    return resolveSession(allSessions(state), allWorkspaces(state), name.name, within);
}

Workspace workspaceOf(Runtime& rt, const Session& session) {
    for (const auto& w : allWorkspaces(rt.state())) {
        if (w.id == session.workspaceID) {
            return w;
        }
    }
    throw CliFailure(
        ExitStatus::notFound,
        fmt::format("the workspace of session {} is no longer registered", session.slug));
}

std::optional<Session> currentSession(Runtime& rt, const UUID& id) {
    return rt.state().session(id);
}

std::string statusCell(const Style& style, SessionStatus status) {
    std::string text(OrvexCore::rawValue(status));
    switch (status) {
    case SessionStatus::running:
        return style.green(text);
    case SessionStatus::needsInput:
    case SessionStatus::bell:
        return style.yellow(text);
    case SessionStatus::idle:
        return text;
    case SessionStatus::unknown:
        return style.dim(text);
    }
    return text;
}

std::string absolutePath(const std::string& path) {
    return OrvexCore::Paths::standardized(OrvexCore::Paths::expandingTilde(path));
}

std::string counted(long long n, const std::string& singular, const std::string& plural) {
    return fmt::format("{} {}", n, n == 1 ? singular : plural);
}

void requireNonBlank(const std::string& value, const std::string& what) {
    if (OrvexCore::Text::trimmed(value).empty()) {
        throw CliFailure(ExitStatus::usage, fmt::format("{} cannot be blank", what));
    }
}

std::optional<std::string> findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr || program.empty() || program.find('/') != std::string::npos) {
        return std::nullopt;
    }
    for (auto folder : OrvexCore::Text::split(path, ':', false)) {
        std::string candidate = OrvexCore::Paths::appendingComponent(folder, program);
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace Orvex
