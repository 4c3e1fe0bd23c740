#include "OrvexCore/Models/PersistedState.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "OrvexCore/Persistence/JSONDecoding.hpp"

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

std::string encodePersistedState(const PersistedState& state) {
    nlohmann::ordered_json json;
    encode(json, state);
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

PersistedState decodePersistedState(std::string_view text) {
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& error) {
        throw DecodingError("", std::string("not valid JSON: ") + error.what());
    }
    return json.get<PersistedState>();
}

} // namespace OrvexCore
