#include "OrvexCore/Models/Workspace.hpp"

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/Hashing.hpp"
#include "OrvexCore/Models/JSONDecoding.hpp"

namespace OrvexCore {
namespace {

template <class Json> void encode(Json& json, const Workspace& workspace) {
    json = Json::object();
    json["id"] = workspace.id.string();
    json["repoPath"] = workspace.repoPath;
    json["displayName"] = workspace.displayName;
    if (workspace.color) {
        json["color"] = *workspace.color;
    }
}

template <class Json> void decode(const Json& json, Workspace& workspace) {
    using namespace JSONDecoding;
    requireObject(json, "a workspace");
    workspace.id = requiredUUID(json, "id");
    workspace.repoPath = requiredString(json, "repoPath");
    workspace.displayName = requiredString(json, "displayName");
    workspace.color = optionalString(json, "color");
}

} // namespace

void to_json(nlohmann::json& json, const Workspace& workspace) {
    encode(json, workspace);
}

void to_json(nlohmann::ordered_json& json, const Workspace& workspace) {
    encode(json, workspace);
}

void from_json(const nlohmann::json& json, Workspace& workspace) {
    decode(json, workspace);
}

void from_json(const nlohmann::ordered_json& json, Workspace& workspace) {
    decode(json, workspace);
}

} // namespace OrvexCore

std::size_t
std::hash<OrvexCore::Workspace>::operator()(const OrvexCore::Workspace& workspace) const noexcept {
    using namespace OrvexCore::Hashing;
    std::size_t seed = 0;
    combine(seed, workspace.id);
    combine(seed, workspace.repoPath);
    combine(seed, workspace.displayName);
    combine(seed, workspace.color);
    return seed;
}
