#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace OrvexCore {

/// What the program in a session's terminal was last seen doing.
enum class SessionStatus { unknown, idle, running, needsInput, bell };

/// Every case, in declaration order.
inline constexpr std::array<SessionStatus, 5> allSessionStatuses{
    SessionStatus::unknown, SessionStatus::idle, SessionStatus::running, SessionStatus::needsInput,
    SessionStatus::bell};

/// The raw value written in JSON ("unknown", "idle", "running", "needsInput", "bell").
std::string_view rawValue(SessionStatus status);

/// The case with this raw value, or nothing (matching is exact and case-sensitive).
std::optional<SessionStatus> sessionStatusFromRawValue(std::string_view raw);

/// JSON form: the raw value string.
void to_json(nlohmann::json& json, SessionStatus status);
void to_json(nlohmann::ordered_json& json, SessionStatus status);
/// Throws DecodingError unless `json` is a string holding one of the five raw values.
void from_json(const nlohmann::json& json, SessionStatus& status);
void from_json(const nlohmann::ordered_json& json, SessionStatus& status);

} // namespace OrvexCore

/// Hashes the raw value string, so the hash does not depend on the order of the cases.
template <> struct std::hash<OrvexCore::SessionStatus> {
    std::size_t operator()(OrvexCore::SessionStatus status) const noexcept {
        return std::hash<std::string_view>{}(OrvexCore::rawValue(status));
    }
};
