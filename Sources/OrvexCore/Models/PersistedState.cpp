#include "OrvexCore/Models/PersistedState.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/JSONDecoding.hpp"
#include "OrvexCore/Util/JSONString.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {
namespace {

template <class Json> void encode(Json& json, const PersistedState& state) {
    json = Json::object();
    Json workspaces = Json::array();
    for (const Workspace& workspace : state.workspaces) {
        workspaces.push_back(workspace);
    }
    json["workspaces"] = std::move(workspaces);
    Json sessions = Json::array();
    for (const Session& session : state.sessions) {
        sessions.push_back(session);
    }
    json["sessions"] = std::move(sessions);
    if (state.lastSelectedWorkspaceID) {
        json["lastSelectedWorkspaceID"] = state.lastSelectedWorkspaceID->string();
    }
    Json lastActive = Json::array();
    for (const auto& [workspaceID, sessionID] : state.lastActiveSessionByWorkspace) {
        lastActive.push_back(workspaceID.string());
        lastActive.push_back(sessionID.string());
    }
    json["lastActiveSessionByWorkspace"] = std::move(lastActive);
}

template <class Record, class Json>
std::vector<Record> decodeRecords(const Json& json, const char* key) {
    const Json& list = JSONDecoding::requiredMember(json, key);
    if (!list.is_array()) {
        JSONDecoding::typeMismatch(key, "an array", list);
    }
    std::vector<Record> records;
    records.reserve(list.size());
    for (const Json& element : list) {
        try {
            records.push_back(element.template get<Record>());
        } catch (const DecodingError& error) {
            throw error.nested(std::string(key) + "[" + std::to_string(records.size()) + "]");
        }
    }
    return records;
}

template <class Json> std::map<UUID, UUID> decodeLastActive(const Json& json) {
    using namespace JSONDecoding;
    constexpr const char* key = "lastActiveSessionByWorkspace";
    std::map<UUID, UUID> map;
    const Json* list = optionalMember(json, key);
    if (!list) {
        return map;
    }
    if (!list->is_array()) {
        typeMismatch(key, "an array alternating workspace and session IDs", *list);
    }
    if (list->size() % 2 != 0) {
        throw DecodingError(key, "expected an even number of elements (workspace and session "
                                 "IDs alternating), found " +
                                     std::to_string(list->size()));
    }
    for (size_t i = 0; i < list->size(); i += 2) {
        std::string prefix = std::string(key) + "[";
        UUID workspaceID = uuidValue((*list)[i], prefix + std::to_string(i) + "]");
        UUID sessionID = uuidValue((*list)[i + 1], prefix + std::to_string(i + 1) + "]");
        map.insert_or_assign(workspaceID, sessionID);
    }
    return map;
}

template <class Json> void decode(const Json& json, PersistedState& state) {
    using namespace JSONDecoding;
    requireObject(json, "the state document");
    PersistedState decoded;
    decoded.workspaces = decodeRecords<Workspace>(json, "workspaces");
    decoded.sessions = decodeRecords<Session>(json, "sessions");
    if (const Json* selected = optionalMember(json, "lastSelectedWorkspaceID")) {
        decoded.lastSelectedWorkspaceID = uuidValue(*selected, "lastSelectedWorkspaceID");
    }
    decoded.lastActiveSessionByWorkspace = decodeLastActive(json);
    state = std::move(decoded);
}

} // namespace

void to_json(nlohmann::ordered_json& json, const PersistedState& state) {
    encode(json, state);
}

void to_json(nlohmann::json& json, const PersistedState& state) {
    encode(json, state);
}

void from_json(const nlohmann::json& json, PersistedState& state) {
    decode(json, state);
}

void from_json(const nlohmann::ordered_json& json, PersistedState& state) {
    decode(json, state);
}

namespace {

// The document is written straight into one string, in the same form as
// ordered_json(state).dump() would give, without building a tree first: for a thousand
// sessions that tree costs several times the writing itself.

void appendString(std::string& out, std::string_view text) {
    // Bytes that are not UTF-8 (a path on a file system with another encoding) become
    // U+FFFD, so the document stays readable instead of failing as a whole.
    if (!JSONString::append(out, text, JSONString::Slashes::plain)) {
        JSONString::append(out, Text::sanitizedUTF8(text), JSONString::Slashes::plain);
    }
}

void appendKey(std::string& out, std::string_view key) {
    out += '"';
    out += key;
    out += "\":";
}

void appendStringMember(std::string& out, std::string_view key, std::string_view value) {
    appendKey(out, key);
    appendString(out, value);
    out += ',';
}

void appendUUID(std::string& out, const UUID& id) {
    out += '"';
    out += id.string();
    out += '"';
}

void appendWorkspace(std::string& out, const Workspace& workspace) {
    out += "{\"id\":";
    appendUUID(out, workspace.id);
    out += ',';
    appendStringMember(out, "repoPath", workspace.repoPath);
    appendKey(out, "displayName");
    appendString(out, workspace.displayName);
    if (workspace.color) {
        out += ',';
        appendKey(out, "color");
        appendString(out, *workspace.color);
    }
    out += '}';
}

void appendSession(std::string& out, const Session& session) {
    out += "{\"id\":";
    appendUUID(out, session.id);
    out += ",\"workspaceID\":";
    appendUUID(out, session.workspaceID);
    out += ',';
    appendStringMember(out, "slug", session.slug);
    appendStringMember(out, "worktreePath", session.worktreePath);
    appendStringMember(out, "branch", session.branch);
    appendStringMember(out, "title", session.title);
    appendStringMember(out, "lastKnownStatus", rawValue(session.lastKnownStatus));
    if (session.baseCommit) {
        appendStringMember(out, "baseCommit", *session.baseCommit);
    }
    out += "\"reviewedFiles\":{";
    bool first = true;
    for (const auto& [path, fingerprint] : session.reviewedFiles) {
        if (!first) {
            out += ',';
        }
        first = false;
        appendString(out, path);
        out += ':';
        appendString(out, fingerprint);
    }
    out += "},";
    if (session.diffCompareRef) {
        appendStringMember(out, "diffCompareRef", *session.diffCompareRef);
    }
    out += "\"gridRows\":" + std::to_string(session.gridRows);
    out += ",\"gridCols\":" + std::to_string(session.gridCols) + ",";
    if (session.initialCommand) {
        appendStringMember(out, "initialCommand", *session.initialCommand);
    }
    out += session.isWorktree ? "\"isWorktree\":true" : "\"isWorktree\":false";
    if (session.gridLayout) {
        out += ",\"gridLayout\":[";
        for (size_t i = 0; i < session.gridLayout->size(); ++i) {
            out += (i == 0 ? "" : ",") + std::to_string((*session.gridLayout)[i]);
        }
        out += ']';
    }
    if (session.gridTitles) {
        out += ",\"gridTitles\":[";
        for (size_t i = 0; i < session.gridTitles->size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            appendString(out, (*session.gridTitles)[i]);
        }
        out += ']';
    }
    out += '}';
}

} // namespace

std::string encodePersistedState(const PersistedState& state) {
    std::string out;
    out.reserve(256 + state.workspaces.size() * 128 + state.sessions.size() * 1024);
    out += "{\"workspaces\":[";
    for (size_t i = 0; i < state.workspaces.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        appendWorkspace(out, state.workspaces[i]);
    }
    out += "],\"sessions\":[";
    for (size_t i = 0; i < state.sessions.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        appendSession(out, state.sessions[i]);
    }
    out += ']';
    if (state.lastSelectedWorkspaceID) {
        out += ",\"lastSelectedWorkspaceID\":";
        appendUUID(out, *state.lastSelectedWorkspaceID);
    }
    out += ",\"lastActiveSessionByWorkspace\":[";
    bool first = true;
    for (const auto& [workspaceID, sessionID] : state.lastActiveSessionByWorkspace) {
        if (!first) {
            out += ',';
        }
        first = false;
        appendUUID(out, workspaceID);
        out += ',';
        appendUUID(out, sessionID);
    }
    out += "]}";
    return out;
}

} // namespace OrvexCore
