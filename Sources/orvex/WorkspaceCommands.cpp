#include <cctype>
#include <filesystem>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexCore::AppState;
using OrvexCore::Workspace;

namespace {

/// The folder of the repository that holds `path`: the top of its main checkout, also when
/// `path` lies in a linked worktree or in a subfolder. `path` itself when git finds no
/// repository there (opening then reports it).
std::string repositoryTop(const std::string& path) {
    std::vector<std::string> args{"git",
                                  "-C",
                                  path,
                                  "rev-parse",
                                  "--path-format=absolute",
                                  "--show-toplevel",
                                  "--git-common-dir"};
    auto result = OrvexCore::Platform::runToCompletion("/usr/bin/env", args);
    if (result.status != 0) {
        return path;
    }
    auto lines = OrvexCore::Text::split(result.output, '\n', false);
    if (lines.size() < 2) {
        return path;
    }
    std::string top(OrvexCore::Text::trimmed(lines[0]));
    std::string common(OrvexCore::Text::trimmed(lines[1]));
    if (OrvexCore::Paths::lastComponent(common) == ".git") {
        std::string main = OrvexCore::Paths::deletingLastComponent(common);
        if (std::filesystem::is_directory(main)) {
            return main;
        }
    }
    return top;
}

/// True when git sees a bare repository at `path` (a repository without a working tree).
bool isBareRepository(const std::string& path) {
    std::vector<std::string> args{"git", "-C", path, "rev-parse", "--is-bare-repository"};
    auto result = OrvexCore::Platform::runToCompletion("/usr/bin/env", args);
    return result.status == 0 && OrvexCore::Text::trimmed(result.output) == "true";
}

/// The folder the user named, checked to exist, with links resolved so that two spellings of
/// one folder register one workspace.
std::string existingFolder(const std::string& text) {
    std::string path = absolutePath(text);
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        throw CliFailure(ExitStatus::notFound, fmt::format("no such folder: {}", text));
    }
    return OrvexCore::Paths::resolvingSymlinks(path);
}

const Workspace* registered(StateClient& state, const std::string& path) {
    for (const auto& w : allWorkspaces(state)) {
        if (w.repoPath == path) {
            return &w;
        }
    }
    return nullptr;
}

void reportOpened(Runtime& rt, const Workspace& workspace) {
    auto& out = rt.out().text;
    out +=
        fmt::format("opened {} ({})\n", rt.style().bold(workspace.displayName), workspace.repoPath);
    auto sessions = sessionsOf(rt.state(), workspace.id);
    if (!sessions.empty()) {
        out += fmt::format("{} of the repository's worktrees became sessions:\n", sessions.size());
        for (const auto& s : sessions) {
            out += fmt::format("  {}  {}\n", s.slug, abbreviatedHome(s.worktreePath));
        }
    }
}

/// Accepts "#RRGGBB" or "RRGGBB" in either case and returns "#RRGGBB" in upper case.
std::string normalizedColor(const std::string& text) {
    std::string_view value = OrvexCore::Text::trimmed(text);
    if (!value.empty() && value.front() == '#') {
        value.remove_prefix(1);
    }
    bool hex = value.size() == 6;
    for (char c : value) {
        hex = hex && std::isxdigit(static_cast<unsigned char>(c));
    }
    if (!hex) {
        throw CliFailure(ExitStatus::usage,
                         fmt::format("'{}' is not a hex colour such as #3366CC", text));
    }
    std::string out = "#";
    for (char c : value) {
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

} // namespace

void openCommand(Runtime& rt, const OpenArgs& args) {
    std::string folder = existingFolder(args.path);
    std::string top = OrvexCore::Paths::resolvingSymlinks(repositoryTop(folder));
    auto& state = rt.state();
    auto result = rt.run(state.openWorkspace(top));
    switch (result.kind) {
    case AppState::OpenResult::Kind::added:
        reportOpened(rt, *result.workspace);
        break;
    case AppState::OpenResult::Kind::alreadyOpen:
        rt.out().text += fmt::format("already open: {} ({}); it is now the selected workspace\n",
                                     result.workspace->displayName, result.workspace->repoPath);
        break;
    case AppState::OpenResult::Kind::notGitRepo:
        if (isBareRepository(folder)) {
            throw CliFailure(ExitStatus::failure,
                             fmt::format("{} is a bare repository (no working tree): sessions "
                                         "need a checkout to branch from",
                                         folder));
        }
        throw CliFailure(ExitStatus::failure, fmt::format("not a git repository: {}", folder));
    case AppState::OpenResult::Kind::removed:
        throw CliFailure(ExitStatus::failure,
                         fmt::format("{} was removed while it was being opened", folder));
    }
}

void initCommand(Runtime& rt, const InitArgs& args) {
    std::string path = absolutePath(args.path);
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !std::filesystem::is_directory(path)) {
        throw CliFailure(ExitStatus::failure,
                         fmt::format("cannot create the folder {}: {}", path, ec.message()));
    }
    path = OrvexCore::Paths::resolvingSymlinks(path);
    auto& state = rt.state();
    // An existing repository is opened instead: initialising it again would register it
    // without the sessions its worktrees stand for.
    if (registered(state, path) != nullptr || OrvexCore::GitCLIService().isGitRepo(path)) {
        openCommand(rt, OpenArgs{path});
        return;
    }
    Workspace workspace = rt.run(state.initAndOpenWorkspace(path));
    rt.out().text += fmt::format("initialised an empty git repository in {}\n", path);
    reportOpened(rt, workspace);
}

void workspacesCommand(Runtime& rt, const WorkspacesArgs& args) {
    auto& state = rt.state();
    auto selected = selectedWorkspace(state);
    if (args.json) {
        auto list = nlohmann::json::array();
        for (const auto& w : allWorkspaces(state)) {
            nlohmann::json item{{"id", w.id.string()},
                                {"displayName", w.displayName},
                                {"repoPath", w.repoPath},
                                {"color", w.color ? nlohmann::json(*w.color) : nullptr},
                                {"selected", selected == w.id},
                                {"sessions", sessionsOf(state, w.id).size()}};
            list.push_back(std::move(item));
        }
        rt.out().text += list.dump(2) + "\n";
        return;
    }
    if (allWorkspaces(state).empty()) {
        rt.out().text += "no workspaces yet: register a repository with 'orvex open PATH'\n";
        return;
    }
    const Style& style = rt.style();
    Table table({"", "NAME", "COLOR", "SESSIONS", "ID", "PATH"});
    for (const auto& w : allWorkspaces(state)) {
        table.add({selected == w.id ? "*" : "", style.bold(w.displayName), w.color.value_or(""),
                   std::to_string(sessionsOf(state, w.id).size()), w.id.string().substr(0, 8),
                   abbreviatedHome(w.repoPath)});
    }
    rt.out().text += table.render(style);
    rt.out().pageable = true;
}

void renameWorkspaceCommand(Runtime& rt, const RenameWorkspaceArgs& args) {
    Workspace workspace = findWorkspace(rt, args.workspace);
    requireNonBlank(args.name, "a workspace's name");
    rt.state().renameWorkspace(workspace.id, args.name);
    rt.out().text += fmt::format("renamed workspace {} to {}\n", workspace.displayName, args.name);
}

void colorCommand(Runtime& rt, const ColorArgs& args) {
    Workspace workspace = findWorkspace(rt, args.workspace);
    if (args.clear) {
        rt.state().setWorkspaceColor(std::nullopt, workspace.id);
        rt.out().text += fmt::format("cleared the colour of {}\n", workspace.displayName);
    } else if (args.color) {
        std::string color = normalizedColor(*args.color);
        rt.state().setWorkspaceColor(color, workspace.id);
        rt.out().text += fmt::format("{} is now {}\n", workspace.displayName, color);
    } else {
        rt.out().text += workspace.color ? *workspace.color + "\n"
                                         : fmt::format("{} has no colour\n", workspace.displayName);
    }
}

void forgetCommand(Runtime& rt, const ForgetArgs& args) {
    Workspace workspace = findWorkspace(rt, args.workspace);
    auto sessions = sessionsOf(rt.state(), workspace.id);
    rt.state().removeWorkspace(workspace.id);
    rt.out().text += fmt::format(
        "forgot workspace {} and its {}; nothing on disk was touched: {} and its worktrees and "
        "branches are still there\n",
        workspace.displayName,
        counted(static_cast<long long>(sessions.size()), "session", "sessions"),
        workspace.repoPath);
}

} // namespace Orvex
