#include "OrvexCore/Settings/AppTheme.hpp"

#include <string>

#include <nlohmann/json.hpp>

namespace OrvexCore {
namespace {
// Indexed by AppTheme::Value.
constexpr std::array<std::string_view, 3> rawValues{"system", "light", "dark"};
} // namespace

const std::array<AppTheme, 3> AppTheme::allCases{AppTheme::system, AppTheme::light, AppTheme::dark};

std::optional<AppTheme> AppTheme::fromRawValue(std::string_view rawValue) {
    for (AppTheme value : allCases) {
        if (value.rawValue() == rawValue) {
            return value;
        }
    }
    return std::nullopt;
}

std::string_view AppTheme::rawValue() const {
    return rawValues[value_];
}

} // namespace OrvexCore

void nlohmann::adl_serializer<OrvexCore::AppTheme>::to_json(nlohmann::json& json,
                                                            OrvexCore::AppTheme value) {
    json = value.rawValue();
}

OrvexCore::AppTheme
nlohmann::adl_serializer<OrvexCore::AppTheme>::from_json(const nlohmann::json& json) {
    const auto& text = json.get_ref<const std::string&>();
    auto decoded = OrvexCore::AppTheme::fromRawValue(text);
    if (!decoded) {
        throw nlohmann::json::type_error::create(302, "not a theme: \"" + text + "\"", &json);
    }
    return *decoded;
}
