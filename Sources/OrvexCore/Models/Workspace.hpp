#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

/// A git repository the user registered. Built positionally in the order `id`, `repoPath`,
/// `displayName` and an optional `color`: `Workspace{id, path, name}`.
struct Workspace {
    UUID id;
    /// Absolute path of the repository's top folder.
    std::string repoPath;
    /// Name shown to the user.
    std::string displayName;
    /// The workspace's colour as the front end stores it; absent means none.
    std::optional<std::string> color = std::nullopt;

    friend bool operator==(const Workspace&, const Workspace&) = default;
};

/// JSON form: "id", "repoPath", "displayName", then "color" only when present.
/// (With nlohmann::json the keys come out sorted; ordered_json keeps this order.)
void to_json(nlohmann::json& json, const Workspace& workspace);
void to_json(nlohmann::ordered_json& json, const Workspace& workspace);
/// Throws DecodingError when "id", "repoPath" or "displayName" is missing or any known key has
/// the wrong type. A null "color" reads as none; unknown keys are ignored.
void from_json(const nlohmann::json& json, Workspace& workspace);
void from_json(const nlohmann::ordered_json& json, Workspace& workspace);

} // namespace OrvexCore

/// Hashes every field in declaration order (an optional as a presence flag, then its value).
template <> struct std::hash<OrvexCore::Workspace> {
    std::size_t operator()(const OrvexCore::Workspace& workspace) const noexcept;
};
