#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace OrvexCore {

/// A database of user settings: JSON values under string keys. The seam between the settings
/// and where they are kept (`FileUserDefaults` on disk, `MemoryUserDefaults` in tests).
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    /// The value stored under `key`, or nothing when the key is absent.
    virtual std::optional<nlohmann::json> object(const std::string& key) const = 0;
    /// Stores `value` under `key`, replacing what was there. Never throws for a failure to
    /// persist: the value is kept in memory and the store says how it failed on its own terms.
    virtual void set(const std::string& key, nlohmann::json value) = 0;
    /// Removes `key` and its value; nothing happens when it is absent.
    virtual void removeObject(const std::string& key) = 0;
};

} // namespace OrvexCore
