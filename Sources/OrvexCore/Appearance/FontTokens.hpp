#pragma once

#include <string>

namespace OrvexCore {

class AppSettings;

/// The font sizes and families the views draw with, derived from the font settings. The
/// secondary, small and icon sizes always follow from the interface size (2, 3 and 1 point
/// smaller, never below 8).
class FontTokens {
public:
    FontTokens(double uiSize, double codeSize, std::string uiFontFamily, std::string codeFontFamily,
               bool fontSmoothingEnabled);

    /// Interface 12, code 13, no families, smoothing on.
    static FontTokens defaultTokens();
    /// The tokens of `settings`' current font settings. Main executor only; observe the five
    /// font properties of `settings` to know when to build them again.
    static FontTokens from(const AppSettings& settings);

    double uiSize() const { return uiSize_; }
    double codeSize() const { return codeSize_; }
    double secondarySize() const { return secondarySize_; }
    double smallSize() const { return smallSize_; }
    double iconSize() const { return iconSize_; }
    /// Empty when none was chosen.
    const std::string& uiFontFamily() const { return uiFontFamily_; }
    const std::string& codeFontFamily() const { return codeFontFamily_; }
    bool fontSmoothingEnabled() const { return fontSmoothingEnabled_; }

    friend bool operator==(const FontTokens&, const FontTokens&) = default;

private:
    double uiSize_;
    double codeSize_;
    double secondarySize_;
    double smallSize_;
    double iconSize_;
    std::string uiFontFamily_;
    std::string codeFontFamily_;
    bool fontSmoothingEnabled_;
};

} // namespace OrvexCore
