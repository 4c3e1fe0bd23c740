#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace OrvexServer {

/// Which editor command of the environment can open a file in a window of its own. The server
/// runs without a terminal of its own, so an editor that needs one (vi, nano, emacs without
/// a window) would open nowhere the user can see.
namespace GraphicalEditor {

/// True when the command's program (its first word, without folders) is one of the editors
/// known to open a window: code, code-insiders, codium, cursor, zed, subl, sublime_text,
/// gedit, gnome-text-editor, kate, kwrite, mousepad, pluma, xed, geany, gvim, emacsclient
/// only with "-c" or "--create-frame", idea, pycharm, clion.
bool isGraphical(std::string_view command);

/// `visual` when it is set and graphical, else `editor` when it is, else none: the values of
/// $VISUAL and $EDITOR (absent when unset).
std::optional<std::string> chosen(const std::optional<std::string>& visual,
                                  const std::optional<std::string>& editor);

} // namespace GraphicalEditor
} // namespace OrvexServer
