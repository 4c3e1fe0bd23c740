#include "OrvexServer/SettingsCatalog.hpp"

#include <algorithm>
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

/// An unknown name takes the default, as the settings do when they read one.
template <class Enumeration> Enumeration named(const json& value, Enumeration fallback) {
    return Enumeration::fromRawValue(value.get<std::string>()).value_or(fallback);
}

json identifierList(const std::set<OrvexCore::UUID>& ids) {
    json list = json::array();
    for (const auto& id : ids) {
        list.push_back(id.string());
    }
    return list;
}

const std::vector<Entry>& entries() {
    static const std::vector<Entry> table = [] {
        std::vector<Entry> t;
        const auto themes = choicesOf<AppTheme>();
        t.push_back({"theme", "Appearance", "Theme",
                     "Colours of the page: light, dark, or as the system prefers.", Kind::choice, 0,
                     0, "", themes, [] { return json("system"); },
                     [](const AppSettings& s) { return json(s.theme().rawValue()); },
                     [](AppSettings& s, const json& v) {
                         s.setTheme(named(v, AppTheme(AppTheme::system)));
                     }});
        t.push_back({"terminalTheme", "Appearance", "Terminal theme",
                     "Colours of the terminals: light, dark, or as the system prefers.",
                     Kind::choice, 0, 0, "", themes, [] { return json("system"); },
                     [](const AppSettings& s) { return json(s.terminalTheme().rawValue()); },
                     [](AppSettings& s, const json& v) {
                         s.setTerminalTheme(named(v, AppTheme(AppTheme::system)));
                     }});
        t.push_back({"uiFontSize",
                     "Appearance",
                     "Interface text size",
                     "Size of the interface text in points; smaller labels follow it.",
                     Kind::number,
                     10,
                     24,
                     "",
                     {},
                     [] { return json(12.0); },
                     [](const AppSettings& s) { return json(s.uiFontSize()); },
                     [](AppSettings& s, const json& v) { s.setUiFontSize(v.get<double>()); }});
        t.push_back({"codeFontSize",
                     "Appearance",
                     "Terminal text size",
                     "Size of the terminal and code text in points.",
                     Kind::number,
                     9,
                     24,
                     "",
                     {},
                     [] { return json(13.0); },
                     [](const AppSettings& s) { return json(s.codeFontSize()); },
                     [](AppSettings& s, const json& v) { s.setCodeFontSize(v.get<double>()); }});
        t.push_back(
            {"uiFontFamily",
             "Appearance",
             "Interface font",
             "Font family of the interface text; empty for the system's font.",
             Kind::text,
             0,
             0,
             "",
             {},
             [] { return json(""); },
             [](const AppSettings& s) { return json(s.uiFontFamily()); },
             [](AppSettings& s, const json& v) { s.setUiFontFamily(v.get<std::string>()); }});
        t.push_back(
            {"codeFontFamily",
             "Appearance",
             "Terminal font",
             "Font family of the terminal and code text; empty for the default "
             "monospace font.",
             Kind::text,
             0,
             0,
             "",
             {},
             [] { return json(""); },
             [](const AppSettings& s) { return json(s.codeFontFamily()); },
             [](AppSettings& s, const json& v) { s.setCodeFontFamily(v.get<std::string>()); }});
        t.push_back(
            {"fontSmoothingEnabled",
             "Appearance",
             "Font smoothing",
             "Draw text with font smoothing where the browser supports it.",
             Kind::boolean,
             0,
             0,
             "",
             {},
             [] { return json(true); },
             [](const AppSettings& s) { return json(s.fontSmoothingEnabled()); },
             [](AppSettings& s, const json& v) { s.setFontSmoothingEnabled(v.get<bool>()); }});
        t.push_back({"reduceMotion", "Appearance", "Reduce motion",
                     "Turn off animations and transitions: on, off, or as the system prefers.",
                     Kind::choice, 0, 0, "", choicesOf<ReduceMotion>(),
                     [] { return json("system"); },
                     [](const AppSettings& s) { return json(s.reduceMotion().rawValue()); },
                     [](AppSettings& s, const json& v) {
                         s.setReduceMotion(named(v, ReduceMotion(ReduceMotion::system)));
                     }});
        t.push_back(
            {"sessionsRootPath",
             "New sessions",
             "Sessions folder",
             "The folder new sessions' worktrees are made in; it must lie inside your "
             "home folder.",
             Kind::path,
             0,
             0,
             "",
             {},
             [] { return json(AppSettings::sanitizedSessionsRoot("")); },
             [](const AppSettings& s) { return json(s.sessionsRootPath()); },
             [](AppSettings& s, const json& v) { s.setSessionsRootPath(v.get<std::string>()); }});
        t.push_back({"newBranchRows",
                     "New sessions",
                     "Rows",
                     "Rows of terminals in a new session's grid.",
                     Kind::integer,
                     1,
                     6,
                     "",
                     {},
                     [] { return json(1); },
                     [](const AppSettings& s) { return json(s.newBranchRows()); },
                     [](AppSettings& s, const json& v) { s.setNewBranchRows(wholeNumber(v)); }});
        t.push_back({"newBranchCols",
                     "New sessions",
                     "Columns",
                     "Terminals in each row of a new session's grid.",
                     Kind::integer,
                     1,
                     6,
                     "",
                     {},
                     [] { return json(1); },
                     [](const AppSettings& s) { return json(s.newBranchCols()); },
                     [](AppSettings& s, const json& v) { s.setNewBranchCols(wholeNumber(v)); }});
        t.push_back(
            {"newBranchCommand",
             "New sessions",
             "Initial command",
             "The command a new session's first terminal runs, on one line; empty for "
             "the shell alone.",
             Kind::text,
             0,
             0,
             "",
             {},
             [] { return json(""); },
             [](const AppSettings& s) { return json(s.newBranchCommand()); },
             [](AppSettings& s, const json& v) { s.setNewBranchCommand(v.get<std::string>()); }});
        t.push_back({"defaultEditor", "New sessions", "Editor",
                     "The editor a session's worktree or files open in.", Kind::choice, 0, 0, "",
                     editorChoices(), [] { return json("vscode"); },
                     [](const AppSettings& s) { return json(s.defaultEditor().rawValue()); },
                     [](AppSettings& s, const json& v) {
                         s.setDefaultEditor(named(v, Editor(Editor::vscode)));
                     }});
        t.push_back(
            {"activityQuietSeconds",
             "Activity",
             "Quiet period",
             "Seconds without output after which a terminal's status is read from its "
             "processes.",
             Kind::number,
             0.2,
             10,
             "",
             {},
             [] { return json(AppSettings::defaultActivityQuietSeconds); },
             [](const AppSettings& s) { return json(s.activityQuietSeconds()); },
             [](AppSettings& s, const json& v) { s.setActivityQuietSeconds(v.get<double>()); }});
        t.push_back({"activityQuestionPatterns",
                     "Activity",
                     "Question patterns",
                     "Words that make a terminal's last line a question, in any case; one per "
                     "line.",
                     Kind::list,
                     0,
                     0,
                     "",
                     {},
                     [] { return json(AppSettings::defaultActivityQuestionPatterns()); },
                     [](const AppSettings& s) { return json(s.activityQuestionPatterns()); },
                     [](AppSettings& s, const json& v) {
                         s.setActivityQuestionPatterns(v.get<std::vector<std::string>>());
                     }});
        t.push_back(
            {"notifyCommand",
             "Activity",
             "Notification command",
             "A shell command run when a terminal nobody looks at needs input or rings "
             "the bell; empty for a desktop notification.",
             Kind::text,
             0,
             0,
             "",
             {},
             [] { return json(""); },
             [](const AppSettings& s) { return json(s.notifyCommand()); },
             [](AppSettings& s, const json& v) { s.setNotifyCommand(v.get<std::string>()); }});
        t.push_back(
            {"diffPanelWidthFraction",
             "Layout",
             "Review panel width",
             "The review panel's share of the window width.",
             Kind::number,
             0.15,
             0.75,
             "",
             {},
             [] { return json(0.25); },
             [](const AppSettings& s) { return json(s.diffPanelWidthFraction()); },
             [](AppSettings& s, const json& v) { s.setDiffPanelWidthFraction(v.get<double>()); }});
        t.push_back({"collapsedWorkspaceIDs",
                     "Layout",
                     "Collapsed workspaces",
                     "Workspaces whose sessions the sidebar hides.",
                     Kind::identifiers,
                     0,
                     0,
                     "",
                     {},
                     [] { return json::array(); },
                     [](const AppSettings& s) { return identifierList(s.collapsedWorkspaceIDs()); },
                     [](AppSettings& s, const json& v) {
                         std::set<OrvexCore::UUID> ids;
                         for (const auto& item : v) {
                             if (auto id = OrvexCore::UUID::parse(item.get<std::string>())) {
                                 ids.insert(*id);
                             }
                         }
                         s.setCollapsedWorkspaceIDs(std::move(ids));
                     }});
        t.push_back({"webPort",
                     "Layout",
                     "Web page port",
                     "The loopback port this page is served on, from the server's next start; "
                     "0 for any free port.",
                     Kind::integer,
                     0,
                     65535,
                     "0 or 1024 to 65535",
                     {},
                     [] { return json(0); },
                     [](const AppSettings& s) { return json(s.webPort()); },
                     [](AppSettings& s, const json& v) { s.setWebPort(wholeNumber(v)); }});
        return t;
    }();
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
