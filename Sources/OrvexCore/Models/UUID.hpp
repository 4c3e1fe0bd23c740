#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace OrvexCore {

/// A 128-bit identifier. New ones are random (version 4); the text form is the canonical
/// upper-case "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
class UUID {
public:
    /// A fresh random identifier.
    UUID();
    /// The identifier with exactly these bytes.
    explicit UUID(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    /// Parses the canonical form in either case; anything else gives nothing.
    static std::optional<UUID> parse(std::string_view text);

    /// The canonical upper-case form.
    std::string string() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    std::array<std::uint8_t, 16> bytes_;
};

} // namespace OrvexCore

template <> struct std::hash<OrvexCore::UUID> {
    std::size_t operator()(const OrvexCore::UUID& id) const noexcept;
};
