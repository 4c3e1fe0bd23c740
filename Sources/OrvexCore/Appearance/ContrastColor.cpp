#include "OrvexCore/Appearance/ContrastColor.hpp"

#include <cstdint>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::ContrastColor {
namespace {

std::optional<unsigned> hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    return std::nullopt;
}

} // namespace

std::optional<RGB> rgb(std::string_view fromHex) {
    std::string_view text = Text::trimmed(fromHex);
    if (text.starts_with('#')) {
        text.remove_prefix(1);
    }
    if (text.size() != 6) {
        return std::nullopt;
    }
    // A leading plus sign reads as part of the number, as integer parsing allows it; a minus
    // sign would make a negative colour, which is no colour.
    std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
    std::uint32_t value = 0;
    for (char c : digits) {
        auto digit = hexDigit(c);
        if (!digit) {
            return std::nullopt;
        }
        value = value * 16 + *digit;
    }
    return RGB{((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0,
               (value & 0xFF) / 255.0};
}

bool prefersDarkText(std::string_view onHex) {
    auto colour = rgb(onHex);
    if (!colour) {
        return true;
    }
    const double luma = 0.299 * colour->red + 0.587 * colour->green + 0.114 * colour->blue;
    return luma > 0.5;
}

} // namespace OrvexCore::ContrastColor
