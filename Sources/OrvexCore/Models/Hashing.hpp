#pragma once

// Field-by-field hashing for the records: each field is folded into a running seed, in
// declaration order. Internal to the models.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace OrvexCore::Hashing {

/// Spreads the bits of `value` (the finaliser of splitmix64), so that std::hash's identity
/// hash of integers and booleans still mixes well.
inline std::size_t mix(std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xBF58476D1CE4E5B9ULL;
    value ^= value >> 27;
    value *= 0x94D049BB133111EBULL;
    value ^= value >> 31;
    return static_cast<std::size_t>(value);
}

inline void combineHash(std::size_t& seed, std::size_t hash) {
    seed = mix(seed + 0x9E3779B97F4A7C15ULL + hash);
}

// Declared up front so that each overload sees the others for nested types.
template <class T> void combine(std::size_t& seed, const T& value);
template <class T> void combine(std::size_t& seed, const std::optional<T>& value);
template <class T> void combine(std::size_t& seed, const std::vector<T>& values);
template <class K, class V> void combine(std::size_t& seed, const std::map<K, V>& entries);

template <class T> void combine(std::size_t& seed, const T& value) {
    combineHash(seed, std::hash<T>{}(value));
}

template <class T> void combine(std::size_t& seed, const std::optional<T>& value) {
    combineHash(seed, value.has_value());
    if (value) {
        combine(seed, *value);
    }
}

template <class T> void combine(std::size_t& seed, const std::vector<T>& values) {
    combineHash(seed, values.size());
    for (const T& value : values) {
        combine(seed, value);
    }
}

/// Entries are hashed one by one and summed, so the result does not depend on their order.
template <class K, class V> void combine(std::size_t& seed, const std::map<K, V>& entries) {
    std::size_t sum = 0;
    for (const auto& [key, value] : entries) {
        std::size_t entry = 0;
        combine(entry, key);
        combine(entry, value);
        sum += entry;
    }
    combineHash(seed, entries.size());
    combineHash(seed, sum);
}

} // namespace OrvexCore::Hashing
