#include "OrvexCore/External/Editor.hpp"

#include <string>

#include <nlohmann/json.hpp>

namespace OrvexCore {
namespace {

struct Row {
    std::string_view rawValue, title, appName, cli;
};

// Indexed by Editor::Value.
constexpr std::array<Row, 3> rows{{
    {"vscode", "VS Code", "Visual Studio Code", "code"},
    {"cursor", "Cursor", "Cursor", "cursor"},
    {"xcode", "Xcode", "Xcode", "xed"},
}};

} // namespace

const std::array<Editor, 3> Editor::allCases{Editor::vscode, Editor::cursor, Editor::xcode};

std::optional<Editor> Editor::fromRawValue(std::string_view rawValue) {
    for (Editor editor : allCases) {
        if (editor.rawValue() == rawValue) {
            return editor;
        }
    }
    return std::nullopt;
}

std::string_view Editor::rawValue() const {
    return rows[value_].rawValue;
}
std::string_view Editor::title() const {
    return rows[value_].title;
}
std::string_view Editor::appName() const {
    return rows[value_].appName;
}
std::string_view Editor::cli() const {
    return rows[value_].cli;
}

} // namespace OrvexCore

void nlohmann::adl_serializer<OrvexCore::Editor>::to_json(nlohmann::json& json,
                                                          OrvexCore::Editor editor) {
    json = editor.rawValue();
}

OrvexCore::Editor
nlohmann::adl_serializer<OrvexCore::Editor>::from_json(const nlohmann::json& json) {
    const auto& text = json.get_ref<const std::string&>();
    auto decoded = OrvexCore::Editor::fromRawValue(text);
    if (!decoded) {
        throw nlohmann::json::type_error::create(302, "not an editor: \"" + text + "\"", &json);
    }
    return *decoded;
}
