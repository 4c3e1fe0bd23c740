#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Models/Workspace.hpp"

namespace OrvexCore {

/// Everything remembered between runs apart from user settings. Built positionally in field
/// order; a default-constructed value is the empty state (no workspaces, no sessions, no
/// selection, no remembered sessions).
struct PersistedState {
    /// In the user's order.
    std::vector<Workspace> workspaces = {};
    /// Every workspace's sessions together, in the user's order.
    std::vector<Session> sessions = {};
    /// The workspace selected when the snapshot was taken.
    std::optional<UUID> lastSelectedWorkspaceID = std::nullopt;
    /// Workspace to the session last active in it. Ordered, so the written document is the
    /// same for the same state.
    std::map<UUID, UUID> lastActiveSessionByWorkspace = {};

    friend bool operator==(const PersistedState&, const PersistedState&) = default;
};

/// JSON form: {"workspaces":[...],"sessions":[...],"lastSelectedWorkspaceID":"..." (only when
/// present),"lastActiveSessionByWorkspace":[workspace, session, workspace, session, ...]}.
void to_json(nlohmann::ordered_json& json, const PersistedState& state);
void to_json(nlohmann::json& json, const PersistedState& state);
/// Throws DecodingError when "workspaces" or "sessions" is missing, any record fails to decode
/// (see Workspace and Session), or "lastActiveSessionByWorkspace" is not an even-length array
/// of UUID strings (a repeated workspace keeps its last session). Missing or null optional keys
/// give no selection and an empty map; unknown keys are ignored.
void from_json(const nlohmann::json& json, PersistedState& state);
void from_json(const nlohmann::ordered_json& json, PersistedState& state);

/// The compact document text (no indentation, keys in writing order). Text that is not valid
/// UTF-8 (a path on a file system with other encodings) is written with U+FFFD in place of
/// the bad bytes rather than failing the whole document.
std::string encodePersistedState(const PersistedState& state);

/// Parses document text, straight into the records (no JSON tree is built). Throws
/// DecodingError when the text is not JSON (including empty or truncated text), holds a number
/// beyond the range of a double (the error names its key), or does not decode as above; never
/// returns a partial state.
PersistedState decodePersistedState(std::string_view text);

} // namespace OrvexCore
