#include "OrvexCore/Settings/MemoryUserDefaults.hpp"

#include <utility>

namespace OrvexCore {

MemoryUserDefaults::MemoryUserDefaults(const nlohmann::json& object) {
    if (object.is_object()) {
        for (const auto& [key, value] : object.items()) {
            values_[key] = value;
        }
    }
}

std::optional<nlohmann::json> MemoryUserDefaults::object(const std::string& key) const {
    auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void MemoryUserDefaults::set(const std::string& key, nlohmann::json value) {
    values_[key] = std::move(value);
}

void MemoryUserDefaults::removeObject(const std::string& key) {
    values_.erase(key);
}

nlohmann::json MemoryUserDefaults::contents() const {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : values_) {
        object[key] = value;
    }
    return object;
}

} // namespace OrvexCore
