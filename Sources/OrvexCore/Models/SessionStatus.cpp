#include "OrvexCore/Models/SessionStatus.hpp"

#include <string>

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/JSONDecoding.hpp"

namespace OrvexCore {

std::string_view rawValue(SessionStatus status) {
    switch (status) {
    case SessionStatus::unknown:
        return "unknown";
    case SessionStatus::idle:
        return "idle";
    case SessionStatus::running:
        return "running";
    case SessionStatus::needsInput:
        return "needsInput";
    case SessionStatus::bell:
        return "bell";
    }
    return "unknown";
}

std::optional<SessionStatus> sessionStatusFromRawValue(std::string_view raw) {
    for (SessionStatus status : allSessionStatuses) {
        if (rawValue(status) == raw) {
            return status;
        }
    }
    return std::nullopt;
}

namespace {

template <class Json> void decode(const Json& json, SessionStatus& status) {
    if (!json.is_string()) {
        JSONDecoding::typeMismatch("", "a session status string", json);
    }
    const auto& raw = json.template get_ref<const std::string&>();
    std::optional<SessionStatus> decoded = sessionStatusFromRawValue(raw);
    if (!decoded) {
        throw DecodingError("", "\"" + raw + "\" is not a session status");
    }
    status = *decoded;
}

} // namespace

void to_json(nlohmann::json& json, SessionStatus status) {
    json = rawValue(status);
}

void to_json(nlohmann::ordered_json& json, SessionStatus status) {
    json = rawValue(status);
}

void from_json(const nlohmann::json& json, SessionStatus& status) {
    decode(json, status);
}

void from_json(const nlohmann::ordered_json& json, SessionStatus& status) {
    decode(json, status);
}

} // namespace OrvexCore
