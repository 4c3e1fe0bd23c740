#include "OrvexCore/Models/SessionStatus.hpp"

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

} // namespace OrvexCore
