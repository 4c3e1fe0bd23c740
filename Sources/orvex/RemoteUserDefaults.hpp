#pragma once

#include <map>
#include <string>

#include "OrvexCore/Settings/UserDefaults.hpp"

namespace Orvex {

class StateClient;

/// The user defaults as the server keeps them: read once from the server, and every change
/// sent to it (the server is the only writer of the settings file), so two commands changing
/// two settings at once both keep theirs. Main thread only.
class RemoteUserDefaults final : public OrvexCore::UserDefaults {
public:
    explicit RemoteUserDefaults(StateClient& client);

    std::optional<nlohmann::json> object(const std::string& key) const override;
    /// Sends the value to the server and waits until the file holds it. Throws the server's
    /// error when it could not save it.
    void set(const std::string& key, nlohmann::json value) override;
    void removeObject(const std::string& key) override;

private:
    StateClient& client_;
    std::map<std::string, nlohmann::json> values_;
};

} // namespace Orvex
