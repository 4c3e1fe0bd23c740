#include "OrvexCore/Settings/AppSettings.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {
namespace {

namespace Key {
constexpr const char* defaultEditor = "defaultEditor";
constexpr const char* newBranchRows = "newBranchRows";
constexpr const char* newBranchCols = "newBranchCols";
constexpr const char* newBranchCommand = "newBranchCommand";
constexpr const char* terminalFontSize = "terminalFontSize";
constexpr const char* terminalFontFamily = "terminalFontFamily";
constexpr const char* uiFontSize = "uiFontSize";
constexpr const char* codeFontSize = "codeFontSize";
constexpr const char* uiFontFamily = "uiFontFamily";
constexpr const char* codeFontFamily = "codeFontFamily";
constexpr const char* fontSmoothingEnabled = "fontSmoothingEnabled";
constexpr const char* reduceMotion = "reduceMotion";
constexpr const char* theme = "theme";
constexpr const char* terminalTheme = "terminalTheme";
constexpr const char* sessionsRootPath = "sessionsRootPath";
constexpr const char* collapsedWorkspaceIDs = "collapsedWorkspaceIDs";
constexpr const char* diffPanelWidthFraction = "diffPanelWidthFraction";
constexpr const char* diffPanelWidth = "diffPanelWidth";
constexpr const char* activityQuietSeconds = "activityQuietSeconds";
constexpr const char* activityQuestionPatterns = "activityQuestionPatterns";
constexpr const char* notifyCommand = "notifyCommand";
constexpr const char* webPort = "webPort";
constexpr const char* diffFoldThreshold = "diffFoldThreshold";
} // namespace Key

constexpr int minGridSize = 1, maxGridSize = 6;
constexpr double minUiFontSize = 10.0, maxUiFontSize = 24.0, defaultUiFontSize = 12.0;
constexpr double minCodeFontSize = 9.0, maxCodeFontSize = 24.0, defaultCodeFontSize = 13.0;
constexpr double minFraction = 0.15, maxFraction = 0.75, defaultFraction = 0.25;
constexpr double legacyWindowWidth = 1400.0;
constexpr double minQuietSeconds = 0.2, maxQuietSeconds = 10.0;
constexpr std::size_t maxQuestionPatterns = 64, maxQuestionPatternBytes = 200;
// Below 1 a single unchanged line would be shown twice around a fold of none.
constexpr long long minFoldThreshold = 1, maxFoldThreshold = 1000, defaultFoldThreshold = 4;

int clampedFoldThreshold(long long value) {
    return static_cast<int>(std::clamp(value, minFoldThreshold, maxFoldThreshold));
}

// Not a number has no place in a range and would be written as JSON null; it takes the
// default instead.
double clamped(double value, double low, double high, double fallback) {
    return std::isnan(value) ? fallback : std::clamp(value, low, high);
}

int clampedGridSize(long long value) {
    return static_cast<int>(std::clamp<long long>(value, minGridSize, maxGridSize));
}

std::string withoutLineBreaks(std::string text) {
    std::erase_if(text, [](char c) { return c == '\n' || c == '\r'; });
    return text;
}

/// Typed reads: a value of another type counts as missing.
class Reader {
public:
    explicit Reader(const UserDefaults& defaults) : defaults_(defaults) {}

    std::optional<double> number(const char* key) const {
        auto value = defaults_.object(key);
        if (!value || !value->is_number()) {
            return std::nullopt;
        }
        return value->get<double>();
    }

    /// Integers, and floating-point numbers with no fraction; anything past the range of a
    /// long long saturates (callers clamp to a far smaller range).
    std::optional<long long> integer(const char* key) const {
        auto value = defaults_.object(key);
        if (!value || !value->is_number()) {
            return std::nullopt;
        }
        if (value->is_number_integer()) {
            return value->is_number_unsigned()
                       ? static_cast<long long>(std::min<unsigned long long>(
                             value->get<unsigned long long>(), 1ULL << 62))
                       : value->get<long long>();
        }
        double number = value->get<double>();
        if (number != std::trunc(number)) {
            return std::nullopt;
        }
        return static_cast<long long>(std::clamp(number, -0x1p62, 0x1p62));
    }

    std::optional<std::string> string(const char* key) const {
        auto value = defaults_.object(key);
        if (!value || !value->is_string()) {
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    std::optional<bool> boolean(const char* key) const {
        auto value = defaults_.object(key);
        if (!value || !value->is_boolean()) {
            return std::nullopt;
        }
        return value->get<bool>();
    }

    template <class Enumeration> Enumeration enumeration(const char* key, Enumeration fallback) {
        auto text = string(key);
        auto decoded = text ? Enumeration::fromRawValue(*text) : std::nullopt;
        return decoded.value_or(fallback);
    }

    std::set<UUID> uuidSet(const char* key) const {
        std::set<UUID> ids;
        auto value = defaults_.object(key);
        if (!value || !value->is_array()) {
            return ids;
        }
        for (const auto& element : *value) {
            if (!element.is_string()) {
                continue;
            }
            if (auto id = UUID::parse(element.get_ref<const std::string&>())) {
                ids.insert(*id);
            }
        }
        return ids;
    }

private:
    const UserDefaults& defaults_;
};

/// Patterns on one line, trimmed, without empty or overlong ones, at most 64.
std::vector<std::string> repairedPatterns(std::vector<std::string> patterns) {
    std::vector<std::string> kept;
    for (auto& pattern : patterns) {
        pattern = withoutLineBreaks(std::move(pattern));
        const auto first = pattern.find_first_not_of(" \t");
        const auto last = pattern.find_last_not_of(" \t");
        if (first == std::string::npos || last - first + 1 > maxQuestionPatternBytes) {
            continue;
        }
        kept.push_back(pattern.substr(first, last - first + 1));
        if (kept.size() == maxQuestionPatterns) {
            break;
        }
    }
    return kept;
}

/// A port the web page may be served on: 0 (any free port) or 1024 to 65535, since a port
/// below 1024 needs privileges the server does not have.
int repairedWebPort(std::optional<long long> port) {
    if (!port || *port < 1024 || *port > 65535) {
        return 0;
    }
    return static_cast<int>(*port);
}

std::string defaultSessionsRoot() {
    return Paths::appendingComponent(Paths::homeDirectory(), ".orvex-sessions");
}

} // namespace

AppSettings::AppSettings(std::shared_ptr<UserDefaults> defaults) : defaults_(std::move(defaults)) {
    Reader read(*defaults_);
    defaultEditor_.set(read.enumeration(Key::defaultEditor, Editor(Editor::vscode)));
    if (auto rows = read.integer(Key::newBranchRows)) {
        newBranchRows_.set(clampedGridSize(*rows));
    }
    if (auto cols = read.integer(Key::newBranchCols)) {
        newBranchCols_.set(clampedGridSize(*cols));
    }
    newBranchCommand_.set(withoutLineBreaks(read.string(Key::newBranchCommand).value_or("")));

    const auto legacyCodeFontSize = read.number(Key::terminalFontSize);
    const auto legacyCodeFontFamily = read.string(Key::terminalFontFamily);
    uiFontSize_.set(clamped(read.number(Key::uiFontSize).value_or(defaultUiFontSize), minUiFontSize,
                            maxUiFontSize, defaultUiFontSize));
    codeFontSize_.set(clamped(
        read.number(Key::codeFontSize).value_or(legacyCodeFontSize.value_or(defaultCodeFontSize)),
        minCodeFontSize, maxCodeFontSize, defaultCodeFontSize));
    uiFontFamily_.set(read.string(Key::uiFontFamily).value_or(""));
    codeFontFamily_.set(
        read.string(Key::codeFontFamily).value_or(legacyCodeFontFamily.value_or("")));
    fontSmoothingEnabled_.set(read.boolean(Key::fontSmoothingEnabled).value_or(true));

    reduceMotion_.set(read.enumeration(Key::reduceMotion, ReduceMotion(ReduceMotion::system)));
    theme_.set(read.enumeration(Key::theme, AppTheme(AppTheme::system)));
    terminalTheme_.set(read.enumeration(Key::terminalTheme, AppTheme(AppTheme::system)));

    auto root = read.string(Key::sessionsRootPath);
    sessionsRootPath_.set(root ? sanitizedSessionsRoot(*root) : defaultSessionsRoot());
    collapsedWorkspaceIDs_.set(read.uuidSet(Key::collapsedWorkspaceIDs));

    if (auto fraction = read.number(Key::diffPanelWidthFraction)) {
        diffPanelWidthFraction_.set(clamped(*fraction, minFraction, maxFraction, defaultFraction));
    } else if (auto width = read.number(Key::diffPanelWidth)) {
        // Widths were once stored in points; a typical window of 1400 points turns them into
        // the share of the window used now.
        const double migrated =
            clamped(*width / legacyWindowWidth, minFraction, maxFraction, defaultFraction);
        diffPanelWidthFraction_.set(migrated);
        defaults_->set(Key::diffPanelWidthFraction, migrated);
        defaults_->removeObject(Key::diffPanelWidth);
    }

    activityQuietSeconds_.set(
        clamped(read.number(Key::activityQuietSeconds).value_or(defaultActivityQuietSeconds),
                minQuietSeconds, maxQuietSeconds, defaultActivityQuietSeconds));
    if (auto stored = defaults_->object(Key::activityQuestionPatterns);
        stored && stored->is_array()) {
        std::vector<std::string> patterns;
        for (const auto& element : *stored) {
            if (element.is_string()) {
                patterns.push_back(element.get<std::string>());
            }
        }
        activityQuestionPatterns_.set(repairedPatterns(std::move(patterns)));
    }
    // A line break would end the command early in a shell and hides the rest from the user.
    notifyCommand_.set(withoutLineBreaks(read.string(Key::notifyCommand).value_or("")));
    webPort_.set(repairedWebPort(read.integer(Key::webPort)));
    diffFoldThreshold_.set(
        clampedFoldThreshold(read.integer(Key::diffFoldThreshold).value_or(defaultFoldThreshold)));
}

void AppSettings::setDiffFoldThreshold(long long value) {
    diffFoldThreshold_.set(clampedFoldThreshold(value));
    defaults_->set(Key::diffFoldThreshold, diffFoldThreshold());
}

void AppSettings::setDefaultEditor(Editor value) {
    defaultEditor_.set(value);
    defaults_->set(Key::defaultEditor, value);
}

void AppSettings::setNewBranchRows(int value) {
    newBranchRows_.set(clampedGridSize(value));
    defaults_->set(Key::newBranchRows, newBranchRows());
}

void AppSettings::setNewBranchCols(int value) {
    newBranchCols_.set(clampedGridSize(value));
    defaults_->set(Key::newBranchCols, newBranchCols());
}

void AppSettings::setNewBranchCommand(std::string value) {
    newBranchCommand_.set(withoutLineBreaks(std::move(value)));
    defaults_->set(Key::newBranchCommand, newBranchCommand());
}

void AppSettings::setUiFontSize(double value) {
    uiFontSize_.set(clamped(value, minUiFontSize, maxUiFontSize, defaultUiFontSize));
    defaults_->set(Key::uiFontSize, uiFontSize());
}

void AppSettings::setCodeFontSize(double value) {
    codeFontSize_.set(clamped(value, minCodeFontSize, maxCodeFontSize, defaultCodeFontSize));
    defaults_->set(Key::codeFontSize, codeFontSize());
}

void AppSettings::setUiFontFamily(std::string value) {
    uiFontFamily_.set(std::move(value));
    defaults_->set(Key::uiFontFamily, uiFontFamily());
}

void AppSettings::setCodeFontFamily(std::string value) {
    codeFontFamily_.set(std::move(value));
    defaults_->set(Key::codeFontFamily, codeFontFamily());
}

void AppSettings::setFontSmoothingEnabled(bool value) {
    fontSmoothingEnabled_.set(value);
    defaults_->set(Key::fontSmoothingEnabled, value);
}

void AppSettings::setReduceMotion(ReduceMotion value) {
    reduceMotion_.set(value);
    defaults_->set(Key::reduceMotion, value);
}

void AppSettings::setTheme(AppTheme value) {
    theme_.set(value);
    defaults_->set(Key::theme, value);
}

void AppSettings::setTerminalTheme(AppTheme value) {
    terminalTheme_.set(value);
    defaults_->set(Key::terminalTheme, value);
}

void AppSettings::setSessionsRootPath(std::string value) {
    sessionsRootPath_.set(sanitizedSessionsRoot(value));
    defaults_->set(Key::sessionsRootPath, sessionsRootPath());
}

void AppSettings::setCollapsedWorkspaceIDs(std::set<UUID> value) {
    collapsedWorkspaceIDs_.set(std::move(value));
    std::vector<std::string> strings;
    for (const auto& id : collapsedWorkspaceIDs()) {
        strings.push_back(id.string());
    }
    defaults_->set(Key::collapsedWorkspaceIDs, strings);
}

void AppSettings::setIsDiffPanelOpen(bool value) {
    isDiffPanelOpen_.set(value);
}

void AppSettings::setDiffPanelWidthFraction(double value) {
    diffPanelWidthFraction_.set(clamped(value, minFraction, maxFraction, defaultFraction));
    defaults_->set(Key::diffPanelWidthFraction, diffPanelWidthFraction());
}

void AppSettings::setActivityQuietSeconds(double value) {
    activityQuietSeconds_.set(
        clamped(value, minQuietSeconds, maxQuietSeconds, defaultActivityQuietSeconds));
    defaults_->set(Key::activityQuietSeconds, activityQuietSeconds());
}

void AppSettings::setActivityQuestionPatterns(std::vector<std::string> value) {
    activityQuestionPatterns_.set(repairedPatterns(std::move(value)));
    defaults_->set(Key::activityQuestionPatterns, activityQuestionPatterns());
}

void AppSettings::setNotifyCommand(std::string value) {
    notifyCommand_.set(withoutLineBreaks(std::move(value)));
    defaults_->set(Key::notifyCommand, notifyCommand());
}

const std::vector<std::string>& AppSettings::defaultActivityQuestionPatterns() {
    static const std::vector<std::string> patterns = {
        "(y/n)",         "[y/n]",          "(yes/no)",          "[yes/no]",
        "password",      "passphrase",     "press enter",       "press return",
        "press any key", "do you want to", "waiting for input", "approve",
    };
    return patterns;
}

bool AppSettings::hasCustomDiffPanelWidthFraction() const {
    return defaults_->object(Key::diffPanelWidthFraction).has_value();
}

double AppSettings::diffPanelWidth(double in) const {
    if (!hasCustomDiffPanelWidthFraction() || !(in > 0)) {
        return minDiffPanelWidth;
    }
    return std::max(in * diffPanelWidthFraction(), minDiffPanelWidth);
}

std::string AppSettings::sanitizedSessionsRoot(std::string_view path) {
    // A plain prefix test would accept "/home/bobby" for the home folder "/home/bob", and
    // "~/../../tmp", which leaves it: compare the standardised path by whole components.
    const std::string expanded = Paths::expandingTilde(path);
    if (!expanded.starts_with('/')) {
        return defaultSessionsRoot();
    }
    const std::string standardized = Paths::standardized(expanded);
    if (!Paths::isInside(standardized, Paths::standardized(Paths::homeDirectory()))) {
        return defaultSessionsRoot();
    }
    return standardized;
}

void AppSettings::setWebPort(int value) {
    webPort_.set(repairedWebPort(value));
    defaults_->set(Key::webPort, webPort());
}

} // namespace OrvexCore
