#pragma once

#include <optional>
#include <string_view>

/// Reads colours written as hex text ("#RRGGBB") and picks a readable text colour for them.
namespace OrvexCore::ContrastColor {

/// A colour's channels, each from 0 to 1.
struct RGB {
    double red = 0;
    double green = 0;
    double blue = 0;
    friend bool operator==(const RGB&, const RGB&) = default;
};

/// The colour in `fromHex`: surrounding white space ignored, one optional leading "#", then
/// exactly six characters read as one hexadecimal number (a leading "+" is accepted and counts
/// as one of the six). Anything else, including "#RGB" and "#RRGGBBAA", gives nothing.
std::optional<RGB> rgb(std::string_view fromHex);

/// True when dark text reads better on the colour `onHex`: its BT.601 luma is above 0.5, or
/// the text is no colour at all.
bool prefersDarkText(std::string_view onHex);

} // namespace OrvexCore::ContrastColor
