#pragma once

#include <optional>
#include <string>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

/// A git repository the user registered.
struct Workspace {
    UUID id;
    /// Absolute path of the repository's top folder.
    std::string repoPath;
    /// Name shown to the user.
    std::string displayName;
    /// The workspace's colour as the front end stores it; absent means none.
    std::optional<std::string> color;

    friend bool operator==(const Workspace&, const Workspace&) = default;
};

} // namespace OrvexCore
