#pragma once

#include <map>

#include "OrvexCore/Settings/UserDefaults.hpp"

namespace OrvexCore {

/// User defaults held only in memory, for tests and previews. Not thread-safe.
class MemoryUserDefaults final : public UserDefaults {
public:
    MemoryUserDefaults() = default;
    /// Starts with the members of `object` (a JSON object; anything else starts empty).
    explicit MemoryUserDefaults(const nlohmann::json& object);

    std::optional<nlohmann::json> object(const std::string& key) const override;
    void set(const std::string& key, nlohmann::json value) override;
    void removeObject(const std::string& key) override;

    /// Everything stored, as one JSON object.
    nlohmann::json contents() const;

private:
    std::map<std::string, nlohmann::json> values_;
};

} // namespace OrvexCore
