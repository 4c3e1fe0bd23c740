#include "OrvexCore/Settings/ReduceMotion.hpp"

#include <string>

#include <nlohmann/json.hpp>

namespace OrvexCore {
namespace {
// Indexed by ReduceMotion::Value.
constexpr std::array<std::string_view, 3> rawValues{"system", "on", "off"};
} // namespace

const std::array<ReduceMotion, 3> ReduceMotion::allCases{ReduceMotion::system, ReduceMotion::on,
                                                         ReduceMotion::off};

std::optional<ReduceMotion> ReduceMotion::fromRawValue(std::string_view rawValue) {
    for (ReduceMotion value : allCases) {
        if (value.rawValue() == rawValue) {
            return value;
        }
    }
    return std::nullopt;
}

std::string_view ReduceMotion::rawValue() const {
    return rawValues[value_];
}

} // namespace OrvexCore

void nlohmann::adl_serializer<OrvexCore::ReduceMotion>::to_json(nlohmann::json& json,
                                                                OrvexCore::ReduceMotion value) {
    json = value.rawValue();
}

OrvexCore::ReduceMotion
nlohmann::adl_serializer<OrvexCore::ReduceMotion>::from_json(const nlohmann::json& json) {
    const auto& text = json.get_ref<const std::string&>();
    auto decoded = OrvexCore::ReduceMotion::fromRawValue(text);
    if (!decoded) {
        throw nlohmann::json::type_error::create(302, "not a motion setting: \"" + text + "\"",
                                                 &json);
    }
    return *decoded;
}
