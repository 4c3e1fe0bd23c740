#include "OrvexCore/External/EditorLauncher.hpp"

#include <utility>
#include <vector>

#include "OrvexCore/Platform/SystemOpen.hpp"

namespace OrvexCore {
namespace {
constexpr const char* env = "/usr/bin/env";
} // namespace

EditorLauncher::EditorLauncher(std::shared_ptr<CommandRunner> runner) : runner(std::move(runner)) {}

void EditorLauncher::open(const std::string& path, Editor in) const {
    try {
        const std::vector<std::string> toolArguments{std::string(in.cli()), path};
        runner->run(env, toolArguments);
        return;
    } catch (...) {
        // The tool is often simply not on the search path; the system's open command is the
        // fallback, and only its failure is worth reporting.
    }
    runner->run(env, Platform::systemOpenArguments(in.appName(), path));
}

void EditorLauncher::openInVSCode(const std::string& path) const {
    open(path, Editor::vscode);
}

} // namespace OrvexCore
