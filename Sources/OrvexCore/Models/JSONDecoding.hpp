#pragma once

// Shared reading rules of the stored records: an optional key whose value is null counts as
// missing, a value of the wrong JSON type fails the record, and integers are never narrowed
// silently. Internal to the models and the store; templates over nlohmann::json and
// nlohmann::ordered_json.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/DecodingError.hpp"
#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore::JSONDecoding {

template <class Json> std::string typeName(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null:
        return "null";
    case Json::value_t::boolean:
        return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
        return "an integer";
    case Json::value_t::number_float:
        return "a number";
    case Json::value_t::string:
        return "a string";
    case Json::value_t::array:
        return "an array";
    case Json::value_t::object:
        return "an object";
    default:
        return "an unsupported value";
    }
}

template <class Json>
[[noreturn]] void typeMismatch(const std::string& key, const char* expected, const Json& found) {
    throw DecodingError(key, std::string("expected ") + expected + ", found " + typeName(found));
}

template <class Json> void requireObject(const Json& value, const std::string& what) {
    if (!value.is_object()) {
        throw DecodingError("", "expected " + what + " (an object), found " + typeName(value));
    }
}

/// The value of `key`, or null when the key is missing or holds null.
template <class Json> const Json* optionalMember(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

/// The value of `key`; a missing key fails. A present null is left to the type checks.
template <class Json> const Json& requiredMember(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) {
        throw DecodingError(key, "required key is missing");
    }
    return *found;
}

template <class Json> std::string stringValue(const Json& value, const std::string& key) {
    if (!value.is_string()) {
        typeMismatch(key, "a string", value);
    }
    return value.template get_ref<const typename Json::string_t&>();
}

template <class Json> UUID uuidValue(const Json& value, const std::string& key) {
    if (!value.is_string()) {
        typeMismatch(key, "a UUID string", value);
    }
    const auto& text = value.template get_ref<const typename Json::string_t&>();
    if (std::optional<UUID> id = UUID::parse(text)) {
        return *id;
    }
    throw DecodingError(key, "\"" + text + "\" is not a UUID");
}

/// An integer clamped to [low, high]; a value beyond 64 bits lands on the nearer bound
/// rather than wrapping. Numbers with a fraction or exponent are not integers.
template <class Json>
int clampedInteger(const Json& value, const std::string& key, int low, int high) {
    if (value.is_number_unsigned()) {
        std::uint64_t v = value.template get<std::uint64_t>();
        return v > static_cast<std::uint64_t>(high) ? high : std::max(static_cast<int>(v), low);
    }
    if (value.is_number_integer()) {
        std::int64_t v = value.template get<std::int64_t>();
        return static_cast<int>(std::clamp<std::int64_t>(v, low, high));
    }
    typeMismatch(key, "an integer", value);
}

template <class Json> std::string requiredString(const Json& object, const char* key) {
    return stringValue(requiredMember(object, key), key);
}

template <class Json> UUID requiredUUID(const Json& object, const char* key) {
    return uuidValue(requiredMember(object, key), key);
}

template <class Json>
std::optional<std::string> optionalString(const Json& object, const char* key) {
    if (const Json* value = optionalMember(object, key)) {
        return stringValue(*value, key);
    }
    return std::nullopt;
}

} // namespace OrvexCore::JSONDecoding
