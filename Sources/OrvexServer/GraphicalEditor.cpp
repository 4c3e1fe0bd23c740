#include "OrvexServer/GraphicalEditor.hpp"

#include <array>
#include <vector>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexServer::GraphicalEditor {
namespace {

std::vector<std::string_view> words(std::string_view command) {
    std::vector<std::string_view> out;
    for (auto word : OrvexCore::Text::split(command, ' ', false)) {
        out.push_back(word);
    }
    return out;
}

} // namespace

bool isGraphical(std::string_view command) {
    static constexpr std::array<std::string_view, 19> windowed{
        "code",         "code-insiders", "codium",
        "cursor",       "zed",           "subl",
        "sublime_text", "gedit",         "gnome-text-editor",
        "kate",         "kwrite",        "mousepad",
        "pluma",        "xed",           "geany",
        "gvim",         "idea",          "pycharm",
        "clion"};
    auto parts = words(command);
    if (parts.empty()) {
        return false;
    }
    auto program = parts.front();
    if (auto slash = program.rfind('/'); slash != std::string_view::npos) {
        program = program.substr(slash + 1);
    }
    if (program == "emacsclient") {
        for (auto part : parts) {
            if (part == "-c" || part == "--create-frame") {
                return true;
            }
        }
        return false;
    }
    for (auto known : windowed) {
        if (program == known) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> chosen(const std::optional<std::string>& visual,
                                  const std::optional<std::string>& editor) {
    for (const auto* value : {&visual, &editor}) {
        if (*value && isGraphical(**value)) {
            return **value;
        }
    }
    return std::nullopt;
}

} // namespace OrvexServer::GraphicalEditor
