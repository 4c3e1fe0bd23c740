#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "OrvexCore/Models/SessionStatus.hpp"
#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

/// One unit of work: a branch, normally in its own worktree, with a grid of terminals.
/// Fields are in declaration order; construction stores values as given (grid fields are
/// clamped only when decoding).
struct Session {
    UUID id;
    UUID workspaceID;
    /// Generated short name, fixed at creation; the worktree folder's name.
    std::string slug;
    /// Absolute path of the folder the session works in.
    std::string worktreePath;
    std::string branch;
    std::string title;
    SessionStatus lastKnownStatus = SessionStatus::unknown;
    int gridRows = 1;
    int gridCols = 1;
    std::optional<std::string> initialCommand = std::nullopt;
    std::optional<std::string> baseCommit = std::nullopt;
    std::optional<std::string> diffCompareRef = std::nullopt;
    /// Changed file path to the fingerprint recorded when it was marked reviewed.
    std::map<std::string, std::string> reviewedFiles = {};
    bool isWorktree = true;
    /// Terminals per row of the saved grid, top row first.
    std::optional<std::vector<int>> gridLayout = std::nullopt;
    /// Saved terminal titles in grid order.
    std::optional<std::vector<std::string>> gridTitles = std::nullopt;

    /// A session from all sixteen values in construction order (which differs from the
    /// declaration order above). The optional values are absent when given std::nullopt;
    /// `gridLayout` and `gridTitles` may be left out. Stores the values as given.
    static Session make(UUID id, UUID workspaceID, std::string slug, std::string worktreePath,
                        std::string branch, std::string title, SessionStatus lastKnownStatus,
                        std::optional<std::string> baseCommit,
                        std::optional<std::string> diffCompareRef,
                        std::map<std::string, std::string> reviewedFiles, int gridRows,
                        int gridCols, std::optional<std::string> initialCommand, bool isWorktree,
                        std::optional<std::vector<int>> gridLayout = std::nullopt,
                        std::optional<std::vector<std::string>> gridTitles = std::nullopt);

    friend bool operator==(const Session&, const Session&) = default;
};

/// JSON form, keys in this order: "id", "workspaceID", "slug", "worktreePath", "branch",
/// "title", "lastKnownStatus", "baseCommit"?, "reviewedFiles", "diffCompareRef"?,
/// "gridRows", "gridCols", "initialCommand"?, "isWorktree", "gridLayout"?, "gridTitles"?
/// (the ones marked ? only when present; "reviewedFiles" is {} when empty).
/// With nlohmann::json the keys come out sorted; ordered_json keeps this order.
void to_json(nlohmann::json& json, const Session& session);
void to_json(nlohmann::ordered_json& json, const Session& session);

/// Reads a session object. The six identity and naming keys are required; the others default
/// when missing or null (status unknown, grid 1 x 1, no review marks, isWorktree true, the
/// optional fields absent). Grid sizes and layout entries are clamped to 1...20. Unknown keys
/// are ignored. Throws DecodingError for a missing required key, a value of the wrong type
/// or an unknown status.
void from_json(const nlohmann::json& json, Session& session);
void from_json(const nlohmann::ordered_json& json, Session& session);

} // namespace OrvexCore

/// Hashes every field in declaration order (optionals as presence flag then value, lists as
/// length then elements, the review map independently of entry order).
template <> struct std::hash<OrvexCore::Session> {
    std::size_t operator()(const OrvexCore::Session& session) const noexcept;
};
