#pragma once

#include <memory>
#include <string>

#include "OrvexCore/External/CommandRunner.hpp"
#include "OrvexCore/External/Editor.hpp"

namespace OrvexCore {

/// Opens a folder or file in an external editor: first through the editor's command-line
/// tool, else by asking the system to open it. Every program is started through `runner`.
class EditorLauncher {
public:
    /// `runner` must not be null; the launcher shares it.
    explicit EditorLauncher(std::shared_ptr<CommandRunner> runner);

    std::shared_ptr<CommandRunner> runner;

    /// Runs "/usr/bin/env" with `editor.cli()` and `path`; if that throws, drops its error and
    /// runs "/usr/bin/env" with the system's open command for `editor.appName()` and `path`.
    /// Blocks until the program that was started exits. Throws only the second run's error: a
    /// `CommandError` or the platform's launch error. Call from a background thread.
    void open(const std::string& path, Editor in) const;

    /// `open(path, Editor::vscode)`.
    void openInVSCode(const std::string& path) const;
};

} // namespace OrvexCore
