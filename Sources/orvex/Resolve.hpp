#pragma once

#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/Workspace.hpp"

namespace Orvex {

/// Finds the workspace a user named. Kinds of match, tried in this order, the first kind that
/// matches deciding: the full identifier; the display name; the path (tilde expanded, made
/// absolute against the current folder, symbolic links resolved on both sides); a prefix of
/// the identifier (either case). No name means the selected workspace.
/// Throws CliFailure: notFound when nothing matches (or nothing is selected), ambiguous when
/// several workspaces match the deciding kind, naming each candidate.
OrvexCore::Workspace resolveWorkspace(const std::vector<OrvexCore::Workspace>& workspaces,
                                      const std::optional<std::string>& name,
                                      const std::optional<OrvexCore::UUID>& selected);

/// Finds the session a user named, among `sessions` (optionally only those of workspace
/// `within`). Kinds of match, in this order: the full identifier, the slug, the title, a
/// prefix of the identifier. Throws CliFailure as `resolveWorkspace` does; candidates are
/// listed with their workspace's display name.
OrvexCore::Session resolveSession(const std::vector<OrvexCore::Session>& sessions,
                                  const std::vector<OrvexCore::Workspace>& workspaces,
                                  const std::string& name,
                                  const std::optional<OrvexCore::UUID>& within = std::nullopt);

/// True when `prefix` (either case, hyphens allowed) begins the canonical form of `id`.
bool isIdentifierPrefix(const std::string& prefix, const OrvexCore::UUID& id);

} // namespace Orvex
