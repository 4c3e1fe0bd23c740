#include "OrvexServer/Server.hpp"

#include <set>

#include <fmt/format.h>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/FileUserDefaults.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "OrvexServer/SettingsCatalog.hpp"

namespace OrvexServer {

namespace P = Protocol;
using nlohmann::json;

namespace {

/// Every key the settings read, including the older ones they migrate from.
const std::set<std::string>& settingsKeys() {
    static const std::set<std::string> keys{"defaultEditor",
                                            "newBranchRows",
                                            "newBranchCols",
                                            "newBranchCommand",
                                            "terminalFontSize",
                                            "terminalFontFamily",
                                            "uiFontSize",
                                            "codeFontSize",
                                            "uiFontFamily",
                                            "codeFontFamily",
                                            "fontSmoothingEnabled",
                                            "reduceMotion",
                                            "theme",
                                            "terminalTheme",
                                            "sessionsRootPath",
                                            "collapsedWorkspaceIDs",
                                            "diffPanelWidthFraction",
                                            "diffPanelWidth",
                                            "activityQuietSeconds",
                                            "activityQuestionPatterns",
                                            "notifyCommand",
                                            "webPort",
                                            "diffFoldThreshold"};
    return keys;
}

} // namespace

json Server::settingsMethod(const std::string& method, const json& params) {
    if (method == "settings.get") {
        json values = json::object();
        for (const auto& key : settingsKeys()) {
            if (auto value = defaults_->object(key)) {
                values[key] = *value;
            }
        }
        return json{{"values", std::move(values)}};
    }
    if (method == "settings.describe") {
        return json{{"settings", SettingsCatalog::describe(*settings_, *defaults_)},
                    {"fontTokens", SettingsCatalog::fontTokens(*settings_)}};
    }
    if (method != "settings.set" && method != "settings.remove") {
        throw ProtocolError("unknownMethod", fmt::format("no method named '{}'", method));
    }
    std::string key = P::string(params, "key");
    if (!settingsKeys().contains(key)) {
        throw ProtocolError("invalidParams", fmt::format("no setting named '{}'", key));
    }
    json result{{"key", key}};
    if (method == "settings.set") {
        auto it = params.find("value");
        if (it == params.end()) {
            throw ProtocolError("invalidParams", "params.value is missing");
        }
        if (SettingsCatalog::describes(key)) {
            // Through the settings' own setter, which repairs the value before it is stored.
            auto assigned = SettingsCatalog::assign(*settings_, key, *it);
            result["value"] = std::move(assigned.value);
            if (assigned.repair) {
                result["repair"] = *assigned.repair;
            }
        } else {
            // An older key, only ever read to migrate from: kept as given and read again.
            defaults_->set(key, *it);
            settings_ = std::make_unique<OrvexCore::AppSettings>(defaults_);
            result["value"] = *it;
        }
    } else {
        defaults_->removeObject(key);
        // Read again: the setting falls back to its default (or to the older key it migrates
        // from).
        settings_ = std::make_unique<OrvexCore::AppSettings>(defaults_);
        result["value"] = SettingsCatalog::value(*settings_, key);
    }
    applySettingsToState();
    applySettingsToTerminals();
    // Told before a failure to save: the value holds in memory either way.
    broadcast("settingsChanged", {{"key", key}, {"value", result["value"]}});
    if (auto error = defaults_->persistenceError()) {
        throw std::runtime_error("the settings could not be saved: " + *error);
    }
    return result;
}

} // namespace OrvexServer
