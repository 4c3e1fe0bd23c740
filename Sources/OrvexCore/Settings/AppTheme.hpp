#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace OrvexCore {

/// A colour theme: follow the system, or always light or dark.
class AppTheme {
public:
    enum Value : unsigned char { system, light, dark };

    constexpr AppTheme(Value value) : value_(value) {}

    /// Every case, in display order.
    static const std::array<AppTheme, 3> allCases;

    /// The case whose raw value is exactly `rawValue`, else nothing.
    static std::optional<AppTheme> fromRawValue(std::string_view rawValue);

    /// "system", "light" or "dark".
    std::string_view rawValue() const;

    constexpr operator Value() const { return value_; }

private:
    Value value_;
};

} // namespace OrvexCore

/// JSON form: the raw value.
template <> struct nlohmann::adl_serializer<OrvexCore::AppTheme> {
    static void to_json(nlohmann::json& json, OrvexCore::AppTheme value);
    /// Throws nlohmann::json::exception unless `json` is a string that is a raw value.
    static OrvexCore::AppTheme from_json(const nlohmann::json& json);
};

template <> struct std::hash<OrvexCore::AppTheme> {
    std::size_t operator()(OrvexCore::AppTheme value) const noexcept {
        return std::hash<std::string_view>()(value.rawValue());
    }
};
