// The settings document (defaults.json) on any bytes. A JSON object is read key by key; any
// other content is moved aside byte for byte and never overwritten. The settings read from
// it are always within their ranges, and writing every setting back and reading the file
// again gives the same settings (repairs are stable and the file keeps what was written).

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/FileUserDefaults.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"
#include "Support/ScratchFolder.hpp"

using namespace OrvexCore;

namespace {

void checkRanges(const AppSettings& settings) {
    FUZZ_CHECK(settings.newBranchRows() >= 1 && settings.newBranchRows() <= 6);
    FUZZ_CHECK(settings.newBranchCols() >= 1 && settings.newBranchCols() <= 6);
    FUZZ_CHECK(settings.newBranchCommand().find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(settings.uiFontSize() >= 10 && settings.uiFontSize() <= 24);
    FUZZ_CHECK(settings.codeFontSize() >= 9 && settings.codeFontSize() <= 24);
    FUZZ_CHECK(settings.diffPanelWidthFraction() >= 0.15 &&
               settings.diffPanelWidthFraction() <= 0.75);
    FUZZ_CHECK(Paths::isInside(settings.sessionsRootPath(), Paths::homeDirectory()));
    const double width = settings.diffPanelWidth(1400);
    FUZZ_CHECK(std::isfinite(width) && width >= AppSettings::minDiffPanelWidth);
}

/// Assigns every setting its own value, which writes each one to the store.
void writeBack(AppSettings& settings) {
    settings.setDefaultEditor(settings.defaultEditor());
    settings.setNewBranchRows(settings.newBranchRows());
    settings.setNewBranchCols(settings.newBranchCols());
    settings.setNewBranchCommand(settings.newBranchCommand());
    settings.setUiFontSize(settings.uiFontSize());
    settings.setCodeFontSize(settings.codeFontSize());
    settings.setUiFontFamily(settings.uiFontFamily());
    settings.setCodeFontFamily(settings.codeFontFamily());
    settings.setFontSmoothingEnabled(settings.fontSmoothingEnabled());
    settings.setReduceMotion(settings.reduceMotion());
    settings.setTheme(settings.theme());
    settings.setTerminalTheme(settings.terminalTheme());
    settings.setSessionsRootPath(settings.sessionsRootPath());
    settings.setCollapsedWorkspaceIDs(settings.collapsedWorkspaceIDs());
    settings.setDiffPanelWidthFraction(settings.diffPanelWidthFraction());
}

void checkSame(const AppSettings& a, const AppSettings& b) {
    FUZZ_CHECK(a.defaultEditor() == b.defaultEditor());
    FUZZ_CHECK(a.newBranchRows() == b.newBranchRows());
    FUZZ_CHECK(a.newBranchCols() == b.newBranchCols());
    FUZZ_CHECK(a.newBranchCommand() == b.newBranchCommand());
    FUZZ_CHECK(a.uiFontSize() == b.uiFontSize());
    FUZZ_CHECK(a.codeFontSize() == b.codeFontSize());
    FUZZ_CHECK(a.uiFontFamily() == b.uiFontFamily());
    FUZZ_CHECK(a.codeFontFamily() == b.codeFontFamily());
    FUZZ_CHECK(a.fontSmoothingEnabled() == b.fontSmoothingEnabled());
    FUZZ_CHECK(a.reduceMotion() == b.reduceMotion());
    FUZZ_CHECK(a.theme() == b.theme());
    FUZZ_CHECK(a.terminalTheme() == b.terminalTheme());
    FUZZ_CHECK(a.sessionsRootPath() == b.sessionsRootPath());
    FUZZ_CHECK(a.collapsedWorkspaceIDs() == b.collapsedWorkspaceIDs());
    FUZZ_CHECK(a.diffPanelWidthFraction() == b.diffPanelWidthFraction());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = OrvexFuzz::asText(data, size);
    OrvexFuzz::clearScratchFolder();
    const std::string path = OrvexFuzz::scratchFolder() + "/orvex/defaults.json";
    std::filesystem::create_directories(OrvexFuzz::scratchFolder() + "/orvex");
    OrvexFuzz::writeBytes(path, text);

    const auto document = nlohmann::json::parse(text, nullptr, /*allow_exceptions*/ false);
    auto defaults = std::make_shared<FileUserDefaults>(path);
    if (document.is_object()) {
        FUZZ_CHECK(!defaults->movedAsidePath());
        for (const auto& [key, value] : document.items()) {
            FUZZ_CHECK(defaults->object(key) == value);
        }
    } else {
        // Whatever the user had is kept whole under another name.
        const auto aside = defaults->movedAsidePath();
        FUZZ_CHECK(aside && OrvexFuzz::readBytes(*aside) == text);
        FUZZ_CHECK(!std::filesystem::exists(path));
    }

    AppSettings settings(defaults);
    checkRanges(settings);
    writeBack(settings);
    FUZZ_CHECK(!defaults->persistenceError());

    auto reread = std::make_shared<FileUserDefaults>(path);
    FUZZ_CHECK(!reread->movedAsidePath());
    AppSettings again(reread);
    checkSame(settings, again);
    return 0;
}
