#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace OrvexCore {

/// Whether animations are reduced: as the system says, always, or never.
class ReduceMotion {
public:
    enum Value : unsigned char { system, on, off };

    constexpr ReduceMotion(Value value) : value_(value) {}

    /// Every case, in display order.
    static const std::array<ReduceMotion, 3> allCases;

    /// The case whose raw value is exactly `rawValue`, else nothing.
    static std::optional<ReduceMotion> fromRawValue(std::string_view rawValue);

    /// "system", "on" or "off".
    std::string_view rawValue() const;

    constexpr operator Value() const { return value_; }

private:
    Value value_;
};

} // namespace OrvexCore

/// JSON form: the raw value.
template <> struct nlohmann::adl_serializer<OrvexCore::ReduceMotion> {
    static void to_json(nlohmann::json& json, OrvexCore::ReduceMotion value);
    /// Throws nlohmann::json::exception unless `json` is a string that is a raw value.
    static OrvexCore::ReduceMotion from_json(const nlohmann::json& json);
};

template <> struct std::hash<OrvexCore::ReduceMotion> {
    std::size_t operator()(OrvexCore::ReduceMotion value) const noexcept {
        return std::hash<std::string_view>()(value.rawValue());
    }
};
