#include "OrvexCore/Models/Session.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/Hashing.hpp"
#include "OrvexCore/Models/JSONDecoding.hpp"

namespace OrvexCore {
namespace {

constexpr int minimumGridSize = 1;
constexpr int maximumGridSize = 20;

template <class Json> void encode(Json& json, const Session& session) {
    json = Json::object();
    json["id"] = session.id.string();
    json["workspaceID"] = session.workspaceID.string();
    json["slug"] = session.slug;
    json["worktreePath"] = session.worktreePath;
    json["branch"] = session.branch;
    json["title"] = session.title;
    json["lastKnownStatus"] = rawValue(session.lastKnownStatus);
    if (session.baseCommit) {
        json["baseCommit"] = *session.baseCommit;
    }
    Json reviewed = Json::object();
    auto& entries = reviewed.template get_ref<typename Json::object_t&>();
    for (const auto& [path, fingerprint] : session.reviewedFiles) {
        // The keys come from a map and are unique already: append without the linear
        // duplicate search that ordered_json's own insertion does. (The test names no
        // structured binding: clang before 16 rejects those inside a requires-expression.)
        if constexpr (requires { entries.emplace_back(std::string(), Json()); }) {
            entries.emplace_back(path, Json(fingerprint));
        } else {
            entries.emplace_hint(entries.end(), path, Json(fingerprint));
        }
    }
    json["reviewedFiles"] = std::move(reviewed);
    if (session.diffCompareRef) {
        json["diffCompareRef"] = *session.diffCompareRef;
    }
    json["gridRows"] = session.gridRows;
    json["gridCols"] = session.gridCols;
    if (session.initialCommand) {
        json["initialCommand"] = *session.initialCommand;
    }
    json["isWorktree"] = session.isWorktree;
    if (session.gridLayout) {
        json["gridLayout"] = *session.gridLayout;
    }
    if (session.gridTitles) {
        json["gridTitles"] = *session.gridTitles;
    }
}

template <class Json> int gridSize(const Json& value, const std::string& key) {
    return JSONDecoding::clampedInteger(value, key, minimumGridSize, maximumGridSize);
}

template <class Json> void decode(const Json& json, Session& session) {
    using namespace JSONDecoding;
    requireObject(json, "a session");
    session.id = requiredUUID(json, "id");
    session.workspaceID = requiredUUID(json, "workspaceID");
    session.slug = requiredString(json, "slug");
    session.worktreePath = requiredString(json, "worktreePath");
    session.branch = requiredString(json, "branch");
    session.title = requiredString(json, "title");

    session.lastKnownStatus = SessionStatus::unknown;
    if (const Json* status = optionalMember(json, "lastKnownStatus")) {
        try {
            from_json(*status, session.lastKnownStatus);
        } catch (const DecodingError& error) {
            throw error.nested("lastKnownStatus");
        }
    }
    session.baseCommit = optionalString(json, "baseCommit");

    session.reviewedFiles.clear();
    if (const Json* reviewed = optionalMember(json, "reviewedFiles")) {
        if (!reviewed->is_object()) {
            typeMismatch("reviewedFiles", "an object", *reviewed);
        }
        for (auto entry = reviewed->begin(); entry != reviewed->end(); ++entry) {
            session.reviewedFiles.emplace_hint(
                session.reviewedFiles.end(), entry.key(),
                stringValue(entry.value(), "reviewedFiles[\"" + entry.key() + "\"]"));
        }
    }
    session.diffCompareRef = optionalString(json, "diffCompareRef");

    const Json* rows = optionalMember(json, "gridRows");
    session.gridRows = rows ? gridSize(*rows, "gridRows") : minimumGridSize;
    const Json* cols = optionalMember(json, "gridCols");
    session.gridCols = cols ? gridSize(*cols, "gridCols") : minimumGridSize;
    session.initialCommand = optionalString(json, "initialCommand");

    session.isWorktree = true;
    if (const Json* isWorktree = optionalMember(json, "isWorktree")) {
        if (!isWorktree->is_boolean()) {
            typeMismatch("isWorktree", "a boolean", *isWorktree);
        }
        session.isWorktree = isWorktree->template get<bool>();
    }

    session.gridLayout.reset();
    if (const Json* layout = optionalMember(json, "gridLayout")) {
        if (!layout->is_array()) {
            typeMismatch("gridLayout", "an array", *layout);
        }
        std::vector<int> rowSizes;
        rowSizes.reserve(layout->size());
        for (const Json& element : *layout) {
            rowSizes.push_back(
                gridSize(element, "gridLayout[" + std::to_string(rowSizes.size()) + "]"));
        }
        session.gridLayout = std::move(rowSizes);
    }

    session.gridTitles.reset();
    if (const Json* titles = optionalMember(json, "gridTitles")) {
        if (!titles->is_array()) {
            typeMismatch("gridTitles", "an array", *titles);
        }
        std::vector<std::string> values;
        values.reserve(titles->size());
        for (const Json& element : *titles) {
            values.push_back(
                stringValue(element, "gridTitles[" + std::to_string(values.size()) + "]"));
        }
        session.gridTitles = std::move(values);
    }
}

} // namespace

Session Session::make(UUID id, UUID workspaceID, std::string slug, std::string worktreePath,
                      std::string branch, std::string title, SessionStatus lastKnownStatus,
                      std::optional<std::string> baseCommit,
                      std::optional<std::string> diffCompareRef,
                      std::map<std::string, std::string> reviewedFiles, int gridRows, int gridCols,
                      std::optional<std::string> initialCommand, bool isWorktree,
                      std::optional<std::vector<int>> gridLayout,
                      std::optional<std::vector<std::string>> gridTitles) {
    return Session{.id = id,
                   .workspaceID = workspaceID,
                   .slug = std::move(slug),
                   .worktreePath = std::move(worktreePath),
                   .branch = std::move(branch),
                   .title = std::move(title),
                   .lastKnownStatus = lastKnownStatus,
                   .gridRows = gridRows,
                   .gridCols = gridCols,
                   .initialCommand = std::move(initialCommand),
                   .baseCommit = std::move(baseCommit),
                   .diffCompareRef = std::move(diffCompareRef),
                   .reviewedFiles = std::move(reviewedFiles),
                   .isWorktree = isWorktree,
                   .gridLayout = std::move(gridLayout),
                   .gridTitles = std::move(gridTitles)};
}

void to_json(nlohmann::json& json, const Session& session) {
    encode(json, session);
}

void to_json(nlohmann::ordered_json& json, const Session& session) {
    encode(json, session);
}

void from_json(const nlohmann::json& json, Session& session) {
    decode(json, session);
}

void from_json(const nlohmann::ordered_json& json, Session& session) {
    decode(json, session);
}

} // namespace OrvexCore

std::size_t
std::hash<OrvexCore::Session>::operator()(const OrvexCore::Session& session) const noexcept {
    using namespace OrvexCore::Hashing;
    std::size_t seed = 0;
    combine(seed, session.id);
    combine(seed, session.workspaceID);
    combine(seed, session.slug);
    combine(seed, session.worktreePath);
    combine(seed, session.branch);
    combine(seed, session.title);
    combine(seed, session.lastKnownStatus);
    combine(seed, session.gridRows);
    combine(seed, session.gridCols);
    combine(seed, session.initialCommand);
    combine(seed, session.baseCommit);
    combine(seed, session.diffCompareRef);
    combine(seed, session.reviewedFiles);
    combine(seed, session.isWorktree);
    combine(seed, session.gridLayout);
    combine(seed, session.gridTitles);
    return seed;
}
