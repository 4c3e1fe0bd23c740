#include "OrvexCore/Appearance/FontTokens.hpp"

#include <algorithm>
#include <utility>

#include "OrvexCore/Settings/AppSettings.hpp"

namespace OrvexCore {
namespace {
constexpr double smallestDerivedSize = 8.0;
} // namespace

FontTokens::FontTokens(double uiSize, double codeSize, std::string uiFontFamily,
                       std::string codeFontFamily, bool fontSmoothingEnabled)
    : uiSize_(uiSize), codeSize_(codeSize),
      secondarySize_(std::max(uiSize - 2, smallestDerivedSize)),
      smallSize_(std::max(uiSize - 3, smallestDerivedSize)),
      iconSize_(std::max(uiSize - 1, smallestDerivedSize)), uiFontFamily_(std::move(uiFontFamily)),
      codeFontFamily_(std::move(codeFontFamily)), fontSmoothingEnabled_(fontSmoothingEnabled) {}

FontTokens FontTokens::defaultTokens() {
    return FontTokens(12, 13, "", "", true);
}

FontTokens FontTokens::from(const AppSettings& settings) {
    return FontTokens(settings.uiFontSize(), settings.codeFontSize(), settings.uiFontFamily(),
                      settings.codeFontFamily(), settings.fontSmoothingEnabled());
}

} // namespace OrvexCore
