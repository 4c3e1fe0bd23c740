#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/External/CommandError.hpp"
#include "OrvexCore/External/Editor.hpp"
#include "OrvexCore/External/EditorLauncher.hpp"
#include "OrvexCore/External/ProcessCommandRunner.hpp"
#include "OrvexCore/Platform/SystemOpen.hpp"
#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/AppTheme.hpp"
#include "OrvexCore/Settings/ReduceMotion.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Runtime.hpp"

namespace Orvex {

using nlohmann::json;
using OrvexCore::AppSettings;
using OrvexCore::Editor;

namespace {

[[noreturn]] void wrongValue(const std::string& key, const std::string& wanted,
                             const std::string& value) {
    throw CliFailure(ExitStatus::usage, fmt::format("{} takes {}, not '{}'", key, wanted, value));
}

int wholeNumber(const std::string& key, const std::string& text) {
    int value = 0;
    auto trimmed = OrvexCore::Text::trimmed(text);
    auto [end, error] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
    if (trimmed.empty() || error != std::errc() || end != trimmed.data() + trimmed.size()) {
        wrongValue(key, "a whole number", text);
    }
    return value;
}

double number(const std::string& key, const std::string& text) {
    std::string trimmed(OrvexCore::Text::trimmed(text));
    char* end = nullptr;
    double value = std::strtod(trimmed.c_str(), &end);
    if (trimmed.empty() || end != trimmed.c_str() + trimmed.size() || !std::isfinite(value)) {
        wrongValue(key, "a number", text);
    }
    return value;
}

bool boolean(const std::string& key, const std::string& text) {
    static const std::set<std::string> yes{"true", "yes", "on", "1"};
    static const std::set<std::string> no{"false", "no", "off", "0"};
    std::string word(OrvexCore::Text::trimmed(text));
    if (yes.contains(word)) {
        return true;
    }
    if (no.contains(word)) {
        return false;
    }
    wrongValue(key, "true or false", text);
}

/// One of `names`, exactly.
std::string choice(const std::string& key, const std::vector<std::string>& names,
                   const std::string& text) {
    for (const auto& name : names) {
        if (name == text) {
            return name;
        }
    }
    std::string list;
    for (const auto& name : names) {
        list += (list.empty() ? "" : ", ") + name;
    }
    wrongValue(key, "one of " + list, text);
}

std::set<OrvexCore::UUID> identifiers(const std::string& key, const std::string& text) {
    std::set<OrvexCore::UUID> ids;
    for (auto piece : OrvexCore::Text::split(text, ',', false)) {
        auto word = OrvexCore::Text::trimmed(piece);
        if (word.empty()) {
            continue;
        }
        auto id = OrvexCore::UUID::parse(word);
        if (!id) {
            throw CliFailure(ExitStatus::usage,
                             fmt::format("{} takes workspace identifiers separated by commas; "
                                         "'{}' is no identifier",
                                         key, std::string(word)));
        }
        ids.insert(*id);
    }
    return ids;
}

std::vector<std::string> editorNames() {
    std::vector<std::string> names;
    for (auto editor : Editor::allCases) {
        names.emplace_back(editor.rawValue());
    }
    return names;
}

/// A stored setting: how to read it as JSON and how to assign it from the user's text.
struct Setting {
    std::string key;
    std::function<json(AppSettings&)> read;
    /// Assigns the value and returns what was assigned (before the settings' repair).
    std::function<json(AppSettings&, const std::string&)> write;
};

const std::vector<Setting>& settingsTable() {
    static const std::vector<std::string> themes{"system", "light", "dark"};
    static const std::vector<std::string> motions{"system", "on", "off"};
    static const std::vector<Setting> table{
        {"defaultEditor", [](AppSettings& s) { return json(s.defaultEditor().rawValue()); },
         [](AppSettings& s, const std::string& v) {
             auto name = choice("defaultEditor", editorNames(), v);
             s.setDefaultEditor(*Editor::fromRawValue(name));
             return json(name);
         }},
        {"newBranchRows", [](AppSettings& s) { return json(s.newBranchRows()); },
         [](AppSettings& s, const std::string& v) {
             auto value = wholeNumber("newBranchRows", v);
             s.setNewBranchRows(value);
             return json(value);
         }},
        {"newBranchCols", [](AppSettings& s) { return json(s.newBranchCols()); },
         [](AppSettings& s, const std::string& v) {
             auto value = wholeNumber("newBranchCols", v);
             s.setNewBranchCols(value);
             return json(value);
         }},
        {"newBranchCommand", [](AppSettings& s) { return json(s.newBranchCommand()); },
         [](AppSettings& s, const std::string& v) {
             s.setNewBranchCommand(v);
             return json(v);
         }},
        {"uiFontSize", [](AppSettings& s) { return json(s.uiFontSize()); },
         [](AppSettings& s, const std::string& v) {
             auto value = number("uiFontSize", v);
             s.setUiFontSize(value);
             return json(value);
         }},
        {"codeFontSize", [](AppSettings& s) { return json(s.codeFontSize()); },
         [](AppSettings& s, const std::string& v) {
             auto value = number("codeFontSize", v);
             s.setCodeFontSize(value);
             return json(value);
         }},
        {"uiFontFamily", [](AppSettings& s) { return json(s.uiFontFamily()); },
         [](AppSettings& s, const std::string& v) {
             s.setUiFontFamily(v);
             return json(v);
         }},
        {"codeFontFamily", [](AppSettings& s) { return json(s.codeFontFamily()); },
         [](AppSettings& s, const std::string& v) {
             s.setCodeFontFamily(v);
             return json(v);
         }},
        {"fontSmoothingEnabled", [](AppSettings& s) { return json(s.fontSmoothingEnabled()); },
         [](AppSettings& s, const std::string& v) {
             auto value = boolean("fontSmoothingEnabled", v);
             s.setFontSmoothingEnabled(value);
             return json(value);
         }},
        {"reduceMotion", [](AppSettings& s) { return json(s.reduceMotion().rawValue()); },
         [](AppSettings& s, const std::string& v) {
             auto name = choice("reduceMotion", motions, v);
             s.setReduceMotion(*OrvexCore::ReduceMotion::fromRawValue(name));
             return json(name);
         }},
        {"theme", [](AppSettings& s) { return json(s.theme().rawValue()); },
         [](AppSettings& s, const std::string& v) {
             auto name = choice("theme", themes, v);
             s.setTheme(*OrvexCore::AppTheme::fromRawValue(name));
             return json(name);
         }},
        {"terminalTheme", [](AppSettings& s) { return json(s.terminalTheme().rawValue()); },
         [](AppSettings& s, const std::string& v) {
             auto name = choice("terminalTheme", themes, v);
             s.setTerminalTheme(*OrvexCore::AppTheme::fromRawValue(name));
             return json(name);
         }},
        {"sessionsRootPath", [](AppSettings& s) { return json(s.sessionsRootPath()); },
         [](AppSettings& s, const std::string& v) {
             s.setSessionsRootPath(v);
             return json(v);
         }},
        {"collapsedWorkspaceIDs",
         [](AppSettings& s) {
             std::vector<std::string> ids;
             for (const auto& id : s.collapsedWorkspaceIDs()) {
                 ids.push_back(id.string());
             }
             std::sort(ids.begin(), ids.end());
             return json(ids);
         },
         [](AppSettings& s, const std::string& v) {
             auto ids = identifiers("collapsedWorkspaceIDs", v);
             s.setCollapsedWorkspaceIDs({ids.begin(), ids.end()});
             std::vector<std::string> names;
             for (const auto& id : ids) {
                 names.push_back(id.string());
             }
             return json(names);
         }},
        {"webPort", [](AppSettings& s) { return json(s.webPort()); },
         [](AppSettings& s, const std::string& v) {
             s.setWebPort(wholeNumber("webPort", v));
             // The server listens on the new port from its next start.
             return json(s.webPort());
         }},
        {"diffPanelWidthFraction", [](AppSettings& s) { return json(s.diffPanelWidthFraction()); },
         [](AppSettings& s, const std::string& v) {
             auto value = number("diffPanelWidthFraction", v);
             s.setDiffPanelWidthFraction(value);
             return json(value);
         }},
        {"diffFoldThreshold", [](AppSettings& s) { return json(s.diffFoldThreshold()); },
         [](AppSettings& s, const std::string& v) {
             s.setDiffFoldThreshold(wholeNumber("diffFoldThreshold", v));
             return json(s.diffFoldThreshold());
         }},
        {"activityQuietSeconds", [](AppSettings& s) { return json(s.activityQuietSeconds()); },
         [](AppSettings& s, const std::string& v) {
             auto value = number("activityQuietSeconds", v);
             s.setActivityQuietSeconds(value);
             return json(value);
         }},
        {"activityQuestionPatterns",
         [](AppSettings& s) { return json(s.activityQuestionPatterns()); },
         [](AppSettings& s, const std::string& v) {
             // Comma-separated, as the list is shown.
             std::vector<std::string> patterns;
             std::size_t start = 0;
             while (start <= v.size()) {
                 auto end = std::min(v.find(',', start), v.size());
                 patterns.push_back(v.substr(start, end - start));
                 start = end + 1;
             }
             s.setActivityQuestionPatterns(patterns);
             return json(patterns);
         }},
        {"notifyCommand", [](AppSettings& s) { return json(s.notifyCommand()); },
         [](AppSettings& s, const std::string& v) {
             s.setNotifyCommand(v);
             return json(v);
         }},
    };
    return table;
}

const Setting& findSetting(const std::string& key) {
    for (const auto& setting : settingsTable()) {
        if (setting.key == key) {
            return setting;
        }
    }
    throw CliFailure(ExitStatus::usage,
                     fmt::format("unknown setting '{}' (orvex settings lists them)", key));
}

/// A value as people read it: strings without quotes, lists joined by commas.
std::string shown(const json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_array()) {
        std::string out;
        for (const auto& item : value) {
            out += (out.empty() ? "" : ",") + shown(item);
        }
        return out;
    }
    return value.dump();
}

} // namespace

void settingsCommand(Runtime& rt, const SettingsArgs& args) {
    auto& settings = rt.settings();
    auto& out = rt.out().text;
    if (!args.key) {
        if (args.json) {
            json doc = json::object();
            for (const auto& setting : settingsTable()) {
                doc[setting.key] = setting.read(settings);
            }
            out += doc.dump(2) + "\n";
            return;
        }
        Table table({"KEY", "VALUE"});
        for (const auto& setting : settingsTable()) {
            table.add({setting.key, shown(setting.read(settings))});
        }
        out += table.render(rt.style());
        return;
    }
    const Setting& setting = findSetting(*args.key);
    json assigned;
    if (args.value) {
        assigned = setting.write(settings, *args.value);
    }
    json value = setting.read(settings);
    if (args.json) {
        out += json{{setting.key, value}}.dump(2) + "\n";
    } else if (!args.value) {
        out += shown(value) + "\n";
    } else {
        out += fmt::format(
            "{} = {}{}\n", setting.key, shown(value),
            value == assigned ? "" : fmt::format(" (repaired from '{}')", shown(assigned)));
    }
}

void editCommand(Runtime& rt, const EditArgs& args) {
    OrvexCore::Session session = findSession(rt, args.session);
    std::optional<Editor> editor;
    if (args.editor) {
        editor = Editor::fromRawValue(choice("--editor", editorNames(), *args.editor));
    } else {
        editor = rt.settings().defaultEditor();
    }
    std::string path = session.worktreePath;
    Editor chosen = *editor;
    // The launcher falls back to the system's opener; when neither program exists its
    // error says only "status 127", so name what was looked for.
    std::string tool(chosen.cli());
    std::string opener = OrvexCore::Platform::systemOpenArguments(chosen.appName(), path).front();
    if (!findOnPath(tool) && !findOnPath(opener)) {
        throw CliFailure(ExitStatus::failure,
                         fmt::format("cannot open {} in {}: neither '{}' nor '{}' was found on "
                                     "PATH",
                                     path, chosen.title(), tool, opener));
    }
    try {
        rt.run(OrvexCore::inBackground([path, chosen] {
            OrvexCore::EditorLauncher launcher(std::make_shared<OrvexCore::ProcessCommandRunner>());
            launcher.open(path, chosen);
        }));
    } catch (const std::exception& e) {
        throw CliFailure(ExitStatus::failure, fmt::format("could not open {} in {}: {}", path,
                                                          chosen.title(), firstLine(e.what())));
    }
    rt.out().text += fmt::format("opened {} in {}\n", path, chosen.title());
}

} // namespace Orvex
