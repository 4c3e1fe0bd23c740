#include "orvex/Resolve.hpp"

#include <algorithm>
#include <cctype>
#include <functional>

#include <fmt/format.h>

#include "OrvexCore/Util/Paths.hpp"
#include "orvex/Failure.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::UUID;
using OrvexCore::Workspace;

bool isIdentifierPrefix(const std::string& prefix, const UUID& id) {
    if (prefix.empty()) {
        return false;
    }
    std::string canonical = id.string();
    if (prefix.size() > canonical.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(prefix[i]);
        if (!std::isxdigit(c) && c != '-') {
            return false;
        }
        if (std::toupper(c) != canonical[i]) {
            return false;
        }
    }
    return true;
}

namespace {

/// The matches of the first kind of match that has any.
template <class Item>
std::vector<Item> firstMatching(const std::vector<Item>& items,
                                const std::vector<std::function<bool(const Item&)>>& kinds) {
    for (const auto& matches : kinds) {
        std::vector<Item> found;
        std::copy_if(items.begin(), items.end(), std::back_inserter(found), matches);
        if (!found.empty()) {
            return found;
        }
    }
    return {};
}

std::string workspaceName(const std::vector<Workspace>& workspaces, const UUID& id) {
    for (const auto& w : workspaces) {
        if (w.id == id) {
            return w.displayName;
        }
    }
    return "?";
}

} // namespace

Workspace resolveWorkspace(const std::vector<Workspace>& workspaces,
                           const std::optional<std::string>& name,
                           const std::optional<UUID>& selected) {
    if (!name) {
        if (selected) {
            for (const auto& w : workspaces) {
                if (w.id == *selected) {
                    return w;
                }
            }
        }
        if (workspaces.empty()) {
            throw CliFailure(ExitStatus::notFound,
                             "no workspaces yet: register a repository with 'orvex open PATH'");
        }
        throw CliFailure(ExitStatus::notFound, "no workspace is selected: name one");
    }
    const std::string& text = *name;
    auto exactID = UUID::parse(text);
    std::string wanted;
    std::string wantedResolved;
    if (!text.empty()) {
        wanted = OrvexCore::Paths::standardized(OrvexCore::Paths::expandingTilde(text));
        wantedResolved = OrvexCore::Paths::resolvingSymlinks(wanted);
    }
    std::vector<std::function<bool(const Workspace&)>> kinds{
        [&](const Workspace& w) { return exactID && w.id == *exactID; },
        [&](const Workspace& w) { return w.displayName == text; },
        [&](const Workspace& w) {
            if (wanted.empty()) {
                return false;
            }
            std::string repo = OrvexCore::Paths::standardized(w.repoPath);
            return repo == wanted || OrvexCore::Paths::resolvingSymlinks(repo) == wantedResolved;
        },
        [&](const Workspace& w) { return isIdentifierPrefix(text, w.id); },
    };
    auto found = firstMatching(workspaces, kinds);
    if (found.empty()) {
        throw CliFailure(ExitStatus::notFound, fmt::format("no workspace named '{}'", text));
    }
    if (found.size() > 1) {
        std::string list;
        for (const auto& w : found) {
            list += fmt::format("{}{} ({}, {})", list.empty() ? "" : "; ", w.displayName,
                                w.id.string().substr(0, 8), w.repoPath);
        }
        throw CliFailure(ExitStatus::ambiguous,
                         fmt::format("'{}' names {} workspaces: {}", text, found.size(), list));
    }
    return found.front();
}

Session resolveSession(const std::vector<Session>& sessions,
                       const std::vector<Workspace>& workspaces, const std::string& name,
                       const std::optional<UUID>& within) {
    std::vector<Session> candidates;
    std::copy_if(sessions.begin(), sessions.end(), std::back_inserter(candidates),
                 [&](const Session& s) { return !within || s.workspaceID == *within; });
    auto exactID = UUID::parse(name);
    std::vector<std::function<bool(const Session&)>> kinds{
        [&](const Session& s) { return exactID && s.id == *exactID; },
        [&](const Session& s) { return s.slug == name; },
        [&](const Session& s) { return s.title == name; },
        [&](const Session& s) { return isIdentifierPrefix(name, s.id); },
    };
    auto found = firstMatching(candidates, kinds);
    if (found.empty()) {
        std::string where = within ? " in workspace " + workspaceName(workspaces, *within) : "";
        throw CliFailure(ExitStatus::notFound, fmt::format("no session named '{}'{}", name, where));
    }
    if (found.size() > 1) {
        std::string list;
        for (const auto& s : found) {
            list +=
                fmt::format("{}{} \"{}\" in {} ({})", list.empty() ? "" : "; ", s.slug, s.title,
                            workspaceName(workspaces, s.workspaceID), s.id.string().substr(0, 8));
        }
        throw CliFailure(ExitStatus::ambiguous,
                         fmt::format("'{}' names {} sessions: {}", name, found.size(), list));
    }
    return found.front();
}

} // namespace Orvex
