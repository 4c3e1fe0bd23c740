#include "orvex/RemoteUserDefaults.hpp"

#include "orvex/StateClient.hpp"

namespace Orvex {

RemoteUserDefaults::RemoteUserDefaults(StateClient& client) : client_(client) {
    auto values = client_.call("settings.get").at("values");
    for (const auto& [key, value] : values.items()) {
        values_[key] = value;
    }
}

std::optional<nlohmann::json> RemoteUserDefaults::object(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::nullopt : std::optional(it->second);
}

void RemoteUserDefaults::set(const std::string& key, nlohmann::json value) {
    if (auto it = values_.find(key); it != values_.end() && it->second == value) {
        return;
    }
    client_.call("settings.set", {{"key", key}, {"value", value}});
    values_[key] = std::move(value);
}

void RemoteUserDefaults::removeObject(const std::string& key) {
    if (!values_.contains(key)) {
        return;
    }
    client_.call("settings.remove", {{"key", key}});
    values_.erase(key);
}

} // namespace Orvex
