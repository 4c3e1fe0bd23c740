#include "OrvexServer/SettingsCatalog.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <functional>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "OrvexCore/Appearance/FontTokens.hpp"
#include "OrvexCore/External/Editor.hpp"
#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/UserDefaults.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexServer/ProtocolError.hpp"

namespace OrvexServer::SettingsCatalog {
namespace {

using nlohmann::json;
using OrvexCore::AppSettings;
using OrvexCore::AppTheme;
using OrvexCore::Editor;
using OrvexCore::ReduceMotion;

enum class Kind { choice, integer, number, text, path, boolean, list, identifiers };

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::choice:
        return "choice";
    case Kind::integer:
        return "integer";
    case Kind::number:
        return "number";
    case Kind::text:
        return "text";
    case Kind::path:
        return "path";
    case Kind::boolean:
        return "boolean";
    case Kind::list:
        return "list";
    case Kind::identifiers:
        return "identifiers";
    }
    return "text";
}

struct Choice {
    std::string value;
    std::string label;
};

/// One described setting. `write` receives a value whose JSON type already fits `kind`.
struct Entry {
    std::string key;
    std::string group;
    std::string title;
    std::string explanation;
    Kind kind;
    double min = 0;
    double max = 0;
    /// How the allowed range reads in a repair note, when "min to max" would mislead.
    std::string rangeText;
    std::vector<Choice> choices;
    std::function<json()> defaultValue;
    std::function<json(const AppSettings&)> read;
    std::function<void(AppSettings&, const json&)> write;
};

/// A whole number from JSON, held to the range of `int` so that a huge value reaches the
/// setter as the nearest end of its range rather than wrapped around.
int wholeNumber(const json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned()) {
            return static_cast<int>(
                std::min<unsigned long long>(value.get<unsigned long long>(), INT_MAX));
        }
        return static_cast<int>(std::clamp<long long>(value.get<long long>(), INT_MIN, INT_MAX));
    }
    return static_cast<int>(std::clamp(value.get<double>(), double(INT_MIN), double(INT_MAX)));
}

template <class Enumeration> std::vector<Choice> choicesOf() {
    std::vector<Choice> choices;
    for (auto item : Enumeration::allCases) {
        std::string raw(item.rawValue());
        std::string label = raw;
        label.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(label.front())));
        choices.push_back({raw, label});
    }
    return choices;
}

std::vector<Choice> editorChoices() {
    std::vector<Choice> choices;
    for (auto editor : Editor::allCases) {
        choices.push_back({std::string(editor.rawValue()), std::string(editor.title())});
    }
    return choices;
}

json identifierList(const std::set<OrvexCore::UUID>& ids) {
    json list = json::array();
    for (const auto& id : ids) {
        list.push_back(id.string());
    }
    return list;
}

/// The words that describe a setting to a person.
struct Words {
    const char* key;
    const char* group;
    const char* title;
    const char* explanation;
};

Entry entry(const Words& words, Kind kind, json fallback) {
    Entry e;
    e.key = words.key;
    e.group = words.group;
    e.title = words.title;
    e.explanation = words.explanation;
    e.kind = kind;
    e.defaultValue = [fallback] { return fallback; };
    return e;
}

Entry number(const Words& words, double min, double max, double fallback,
             double (AppSettings::*get)() const, void (AppSettings::*set)(double)) {
    Entry e = entry(words, Kind::number, fallback);
    e.min = min;
    e.max = max;
    e.read = [get](const AppSettings& s) { return json((s.*get)()); };
    e.write = [set](AppSettings& s, const json& v) { (s.*set)(v.get<double>()); };
    return e;
}

Entry integer(const Words& words, int min, int max, int fallback, int (AppSettings::*get)() const,
              void (AppSettings::*set)(int), const char* rangeText = "") {
    Entry e = entry(words, Kind::integer, fallback);
    e.min = min;
    e.max = max;
    e.rangeText = rangeText;
    e.read = [get](const AppSettings& s) { return json((s.*get)()); };
    e.write = [set](AppSettings& s, const json& v) { (s.*set)(wholeNumber(v)); };
    return e;
}

Entry text(const Words& words, Kind kind, const std::string& (AppSettings::*get)() const,
           void (AppSettings::*set)(std::string)) {
    Entry e = entry(words, kind, "");
    e.read = [get](const AppSettings& s) { return json((s.*get)()); };
    e.write = [set](AppSettings& s, const json& v) { (s.*set)(v.get<std::string>()); };
    return e;
}

Entry boolean(const Words& words, bool fallback, bool (AppSettings::*get)() const,
              void (AppSettings::*set)(bool)) {
    Entry e = entry(words, Kind::boolean, fallback);
    e.read = [get](const AppSettings& s) { return json((s.*get)()); };
    e.write = [set](AppSettings& s, const json& v) { (s.*set)(v.get<bool>()); };
    return e;
}

/// An unknown name takes `fallback`, as the settings do when they read one.
template <class Enumeration>
Entry choice(const Words& words, std::vector<Choice> choices, Enumeration fallback,
             Enumeration (AppSettings::*get)() const, void (AppSettings::*set)(Enumeration)) {
    Entry e = entry(words, Kind::choice, std::string(fallback.rawValue()));
    e.choices = std::move(choices);
    e.read = [get](const AppSettings& s) { return json(std::string((s.*get)().rawValue())); };
    e.write = [set, fallback](AppSettings& s, const json& v) {
        (s.*set)(Enumeration::fromRawValue(v.get<std::string>()).value_or(fallback));
    };
    return e;
}

std::vector<Entry> makeEntries() {
    const auto themes = choicesOf<AppTheme>();
    const AppTheme systemTheme(AppTheme::system);
    std::vector<Entry> t;
    t.push_back(choice({"theme", "Appearance", "Theme",
                        "Colours of the page: light, dark, or as the system prefers."},
                       themes, systemTheme, &AppSettings::theme, &AppSettings::setTheme));
    t.push_back(choice({"terminalTheme", "Appearance", "Terminal theme",
                        "Colours of the terminals: light, dark, or as the system prefers."},
                       themes, systemTheme, &AppSettings::terminalTheme,
                       &AppSettings::setTerminalTheme));
    t.push_back(number({"uiFontSize", "Appearance", "Interface text size",
                        "Size of the interface text in points; smaller labels follow it."},
                       10, 24, 12.0, &AppSettings::uiFontSize, &AppSettings::setUiFontSize));
    t.push_back(number({"codeFontSize", "Appearance", "Terminal text size",
                        "Size of the terminal and code text in points."},
                       9, 24, 13.0, &AppSettings::codeFontSize, &AppSettings::setCodeFontSize));
    t.push_back(text({"uiFontFamily", "Appearance", "Interface font",
                      "Font family of the interface text; empty for the system's font."},
                     Kind::text, &AppSettings::uiFontFamily, &AppSettings::setUiFontFamily));
    t.push_back(text({"codeFontFamily", "Appearance", "Terminal font",
                      "Font family of the terminal and code text; empty for the default "
                      "monospace font."},
                     Kind::text, &AppSettings::codeFontFamily, &AppSettings::setCodeFontFamily));
    t.push_back(boolean({"fontSmoothingEnabled", "Appearance", "Font smoothing",
                         "Draw text with font smoothing where the browser supports it."},
                        true, &AppSettings::fontSmoothingEnabled,
                        &AppSettings::setFontSmoothingEnabled));
    t.push_back(choice({"reduceMotion", "Appearance", "Reduce motion",
                        "Turn off animations and transitions: on, off, or as the system prefers."},
                       choicesOf<ReduceMotion>(), ReduceMotion(ReduceMotion::system),
                       &AppSettings::reduceMotion, &AppSettings::setReduceMotion));

    Entry root =
        text({"sessionsRootPath", "New sessions", "Sessions folder",
              "The folder new sessions' worktrees are made in; it must lie inside your "
              "home folder."},
             Kind::path, &AppSettings::sessionsRootPath, &AppSettings::setSessionsRootPath);
    // The settings' own fallback for a path they refuse.
    root.defaultValue = [] { return json(AppSettings::sanitizedSessionsRoot("")); };
    t.push_back(std::move(root));
    t.push_back(integer(
        {"newBranchRows", "New sessions", "Rows", "Rows of terminals in a new session's grid."}, 1,
        6, 1, &AppSettings::newBranchRows, &AppSettings::setNewBranchRows));
    t.push_back(integer({"newBranchCols", "New sessions", "Columns",
                         "Terminals in each row of a new session's grid."},
                        1, 6, 1, &AppSettings::newBranchCols, &AppSettings::setNewBranchCols));
    t.push_back(text({"newBranchCommand", "New sessions", "Initial command",
                      "The command a new session's first terminal runs, on one line; empty for "
                      "the shell alone."},
                     Kind::text, &AppSettings::newBranchCommand,
                     &AppSettings::setNewBranchCommand));
    t.push_back(choice({"defaultEditor", "New sessions", "Editor",
                        "The editor a session's worktree or files open in."},
                       editorChoices(), Editor(Editor::vscode), &AppSettings::defaultEditor,
                       &AppSettings::setDefaultEditor));

    t.push_back(number({"activityQuietSeconds", "Activity", "Quiet period",
                        "Seconds without output after which a terminal's status is read from its "
                        "processes."},
                       0.2, 10, AppSettings::defaultActivityQuietSeconds,
                       &AppSettings::activityQuietSeconds, &AppSettings::setActivityQuietSeconds));
    Entry patterns = entry({"activityQuestionPatterns", "Activity", "Question patterns",
                            "Words that make a terminal's last line a question, in any case; one "
                            "per line."},
                           Kind::list, AppSettings::defaultActivityQuestionPatterns());
    patterns.read = [](const AppSettings& s) { return json(s.activityQuestionPatterns()); };
    patterns.write = [](AppSettings& s, const json& v) {
        s.setActivityQuestionPatterns(v.get<std::vector<std::string>>());
    };
    t.push_back(std::move(patterns));
    t.push_back(text({"notifyCommand", "Activity", "Notification command",
                      "A shell command run when a terminal nobody looks at needs input or rings "
                      "the bell; empty for a desktop notification."},
                     Kind::text, &AppSettings::notifyCommand, &AppSettings::setNotifyCommand));

    t.push_back(number({"diffPanelWidthFraction", "Layout", "Review panel width",
                        "The review panel's share of the window width."},
                       0.15, 0.75, 0.25, &AppSettings::diffPanelWidthFraction,
                       &AppSettings::setDiffPanelWidthFraction));
    Entry fold = entry({"diffFoldThreshold", "Layout", "Fold threshold",
                        "Unchanged lines in a row past which the review's patch folds them away."},
                       Kind::integer, 4);
    fold.min = 1;
    fold.max = 1000;
    fold.read = [](const AppSettings& s) { return json(s.diffFoldThreshold()); };
    fold.write = [](AppSettings& s, const json& v) { s.setDiffFoldThreshold(wholeNumber(v)); };
    t.push_back(std::move(fold));
    Entry collapsed = entry({"collapsedWorkspaceIDs", "Layout", "Collapsed workspaces",
                             "Workspaces whose sessions the sidebar hides."},
                            Kind::identifiers, json::array());
    collapsed.read = [](const AppSettings& s) { return identifierList(s.collapsedWorkspaceIDs()); };
    collapsed.write = [](AppSettings& s, const json& v) {
        std::set<OrvexCore::UUID> ids;
        for (const auto& item : v) {
            if (auto id = OrvexCore::UUID::parse(item.get<std::string>())) {
                ids.insert(*id);
            }
        }
        s.setCollapsedWorkspaceIDs(std::move(ids));
    };
    t.push_back(std::move(collapsed));
    t.push_back(integer({"webPort", "Layout", "Web page port",
                         "The loopback port this page is served on, from the server's next "
                         "start; 0 for any free port."},
                        0, 65535, 0, &AppSettings::webPort, &AppSettings::setWebPort,
                        "0 or 1024 to 65535"));
    return t;
}

const std::vector<Entry>& entries() {
    static const std::vector<Entry> table = makeEntries();
    return table;
}

const Entry* find(const std::string& key) {
    const auto& table = entries();
    auto it =
        std::find_if(table.begin(), table.end(), [&](const Entry& e) { return e.key == key; });
    return it == table.end() ? nullptr : &*it;
}

[[noreturn]] void wrongType(const Entry& entry, const char* wanted) {
    throw ProtocolError("invalidParams",
                        fmt::format("params.value: {} takes {}", entry.key, wanted));
}

bool isStringList(const json& value) {
    return value.is_array() &&
           std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_string(); });
}

/// Refuses a value whose JSON type does not fit the setting's kind.
void checkType(const Entry& entry, const json& value) {
    switch (entry.kind) {
    case Kind::choice:
    case Kind::text:
    case Kind::path:
        if (!value.is_string()) {
            wrongType(entry, "a string");
        }
        break;
    case Kind::boolean:
        if (!value.is_boolean()) {
            wrongType(entry, "true or false");
        }
        break;
    case Kind::number:
        if (!value.is_number()) {
            wrongType(entry, "a number");
        }
        break;
    case Kind::integer:
        if (!value.is_number() ||
            (value.is_number_float() && value.get<double>() != std::trunc(value.get<double>()))) {
            wrongType(entry, "a whole number");
        }
        break;
    case Kind::list:
    case Kind::identifiers:
        if (!isStringList(value)) {
            wrongType(entry, "a list of strings");
        }
        break;
    }
}

/// A number as people write it: 24 rather than 24.0, 0.15 as it is.
std::string shownNumber(const json& value) {
    if (value.is_number_float()) {
        return fmt::format("{}", value.get<double>());
    }
    return value.dump();
}

/// Whether the stored value is what was given; identifiers compare as sets of UUIDs, since
/// their order and letter case carry nothing.
bool storedAsGiven(const Entry& entry, const json& given, const json& stored) {
    if (entry.kind != Kind::identifiers) {
        return given == stored;
    }
    std::set<std::string> ids;
    for (const auto& item : given) {
        auto id = OrvexCore::UUID::parse(item.get<std::string>());
        if (!id) {
            return false;
        }
        ids.insert(id->string());
    }
    return ids.size() == stored.size();
}

std::string repairNote(const Entry& entry, const json& given, const json& stored) {
    switch (entry.kind) {
    case Kind::integer:
    case Kind::number: {
        std::string range = !entry.rangeText.empty()
                                ? entry.rangeText
                                : fmt::format("{} to {}", shownNumber(json(entry.min)),
                                              shownNumber(json(entry.max)));
        return fmt::format("{} is outside {}: set to {}", shownNumber(given), range,
                           shownNumber(stored));
    }
    case Kind::choice: {
        std::string names;
        for (const auto& choice : entry.choices) {
            names += (names.empty() ? "" : ", ") + choice.value;
        }
        return fmt::format("'{}' is not one of {}: set to {}", given.get<std::string>(), names,
                           stored.get<std::string>());
    }
    case Kind::text:
        return "line breaks removed";
    case Kind::path: {
        // A path inside the home folder is only written out (tilde, "." and ".." resolved);
        // anything else falls back to the default folder.
        const auto& text = given.get<std::string>();
        if (OrvexCore::Paths::standardized(OrvexCore::Paths::expandingTilde(text)) == stored) {
            return fmt::format("written in full: {}", stored.get<std::string>());
        }
        return fmt::format("'{}' is not a folder inside the home folder: set to the default, {}",
                           text, stored.get<std::string>());
    }
    case Kind::list:
        return "trimmed and kept on one line each; blank patterns, patterns over 200 bytes and "
               "any past 64 dropped";
    case Kind::identifiers:
        return "entries that are not workspace identifiers were dropped";
    case Kind::boolean:
        break;
    }
    return "repaired";
}

} // namespace

bool describes(const std::string& key) {
    return find(key) != nullptr;
}

json describe(const AppSettings& settings, const OrvexCore::UserDefaults& defaults) {
    json list = json::array();
    for (const auto& entry : entries()) {
        json item{{"key", entry.key},
                  {"group", entry.group},
                  {"title", entry.title},
                  {"explanation", entry.explanation},
                  {"kind", kindName(entry.kind)},
                  {"default", entry.defaultValue()},
                  {"value", entry.read(settings)},
                  {"custom", defaults.object(entry.key).has_value()}};
        if (entry.kind == Kind::integer || entry.kind == Kind::number) {
            item["min"] = entry.min;
            item["max"] = entry.max;
        }
        if (entry.kind == Kind::choice) {
            json choices = json::array();
            for (const auto& choice : entry.choices) {
                choices.push_back({{"value", choice.value}, {"label", choice.label}});
            }
            item["choices"] = std::move(choices);
        }
        list.push_back(std::move(item));
    }
    return list;
}

json fontTokens(const AppSettings& settings) {
    auto tokens = OrvexCore::FontTokens::from(settings);
    return json{{"uiSize", tokens.uiSize()},
                {"codeSize", tokens.codeSize()},
                {"secondarySize", tokens.secondarySize()},
                {"smallSize", tokens.smallSize()},
                {"iconSize", tokens.iconSize()},
                {"uiFontFamily", tokens.uiFontFamily()},
                {"codeFontFamily", tokens.codeFontFamily()},
                {"fontSmoothingEnabled", tokens.fontSmoothingEnabled()}};
}

json value(const AppSettings& settings, const std::string& key) {
    const Entry* entry = find(key);
    return entry ? entry->read(settings) : json(nullptr);
}

Assignment assign(AppSettings& settings, const std::string& key, const json& given) {
    const Entry* entry = find(key);
    if (!entry) {
        throw ProtocolError("invalidParams", fmt::format("no setting named '{}'", key));
    }
    checkType(*entry, given);
    entry->write(settings, given);
    Assignment result{entry->read(settings), std::nullopt};
    if (!storedAsGiven(*entry, given, result.value)) {
        result.repair = repairNote(*entry, given, result.value);
    }
    return result;
}

} // namespace OrvexServer::SettingsCatalog
