#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace OrvexCore {

/// One of the external code editors a worktree can be opened in. Its raw value is also the
/// stored form of the editor setting.
class Editor {
public:
    enum Value : unsigned char { vscode, cursor, xcode };

    constexpr Editor(Value value) : value_(value) {}

    /// Every editor, in display order.
    static const std::array<Editor, 3> allCases;

    /// The editor whose raw value is exactly `rawValue` (case-sensitive), else nothing.
    static std::optional<Editor> fromRawValue(std::string_view rawValue);

    /// "vscode", "cursor" or "xcode".
    std::string_view rawValue() const;
    /// Short display label.
    std::string_view title() const;
    /// The application's name, as the system knows it.
    std::string_view appName() const;
    /// The command-line tool, looked up on the search path.
    std::string_view cli() const;

    constexpr operator Value() const { return value_; }

private:
    Value value_;
};

} // namespace OrvexCore

/// JSON form: the raw value.
template <> struct nlohmann::adl_serializer<OrvexCore::Editor> {
    static void to_json(nlohmann::json& json, OrvexCore::Editor editor);
    /// Throws nlohmann::json::exception unless `json` is a string that is a raw value.
    static OrvexCore::Editor from_json(const nlohmann::json& json);
};

template <> struct std::hash<OrvexCore::Editor> {
    std::size_t operator()(OrvexCore::Editor editor) const noexcept {
        return std::hash<std::string_view>()(editor.rawValue());
    }
};
