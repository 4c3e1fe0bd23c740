// The review panel's methods: a session's changed files with their review marks, one file's
// patch ready to draw, the refs to compare against, and opening a file in an editor.

#include <cstdlib>
#include <filesystem>
#include <set>

#include <fmt/format.h>
#include <unistd.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Diff/DiffReview.hpp"
#include "OrvexCore/External/EditorLauncher.hpp"
#include "OrvexCore/External/ProcessCommandRunner.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "OrvexServer/GraphicalEditor.hpp"
#include "OrvexServer/PatchRows.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "OrvexServer/Server.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
namespace P = Protocol;
using nlohmann::json;
using OrvexCore::Session;

namespace {

/// A path inside the worktree as the listing names files: relative, without "." or ".."
/// components, without NUL. Anything else could name a file outside the session.
std::string relativePath(const json& params) {
    std::string path = P::string(params, "path");
    bool valid = !path.empty() && path.front() != '/' && path.find('\0') == std::string::npos;
    for (auto part : OrvexCore::Text::split(path, '/', true)) {
        if (part.empty() || part == "." || part == "..") {
            valid = false;
        }
    }
    if (!valid) {
        throw ProtocolError("invalidParams",
                            "params.path must be a file's path relative to the worktree, "
                            "without '.' or '..'");
    }
    return path;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) {
        return std::nullopt;
    }
    return std::string(value);
}

bool onSearchPath(std::string_view program) {
    auto path = environment("PATH");
    if (!path) {
        return false;
    }
    for (auto folder : OrvexCore::Text::split(*path, ':', false)) {
        auto candidate = std::filesystem::path(folder) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

/// Opens `target` and says with what. The settings' editor when its tool is installed; else
/// a graphical $VISUAL or $EDITOR of the server's environment, started in the background (it
/// may wait for its window to close); else the editor launcher's fallback, the system's
/// opener.
std::string openInEditor(const std::string& target, OrvexCore::Editor editor) {
    auto fromEnvironment =
        OrvexServer::GraphicalEditor::chosen(environment("VISUAL"), environment("EDITOR"));
    if (fromEnvironment && !onSearchPath(editor.cli())) {
        // The command is the user's own, read by a shell as $VISUAL is elsewhere; the path is
        // an argument of its own, never part of the command text.
        auto result = OrvexCore::Platform::runToCompletion(
            "/bin/sh",
            {"-c", *fromEnvironment + " \"$1\" </dev/null >/dev/null 2>&1 &", "sh", target});
        if (result.status != 0) {
            throw std::runtime_error(fmt::format("'{}' could not be started", *fromEnvironment));
        }
        return *fromEnvironment;
    }
    OrvexCore::EditorLauncher launcher(std::make_shared<OrvexCore::ProcessCommandRunner>());
    launcher.open(target, editor);
    return std::string(editor.title());
}

} // namespace

asio::awaitable<json> Server::reviewMethod(const std::string& method, const json& params) {
    static const std::set<std::string> methods{"review.files", "review.patch",   "review.toggle",
                                               "review.refs",  "review.setBase", "review.open"};
    if (!methods.contains(method)) {
        throw ProtocolError("unknownMethod", fmt::format("no method named '{}'", method));
    }
    auto id = P::uuid(params, "id");
    auto found = state_->session(id);
    if (!found) {
        throw ProtocolError("notFound", "no session has that identifier");
    }
    const Session session = *found;
    if ((method == "review.files" || method == "review.patch" || method == "review.toggle") &&
        !helperError_.empty()) {
        throw OrvexCore::DiffHelperClient::ClientError::spawnFailed(helperError_);
    }

    if (method == "review.files") {
        auto listing = state_->diff(session);
        auto files = co_await std::move(listing);
        // Only files that carry a mark need their patch: the mark holds for its exact text.
        std::set<std::string> reviewed;
        std::set<std::string> listed;
        for (const auto& file : files) {
            listed.insert(file.path);
            if (session.reviewedFiles.contains(file.path)) {
                auto patchTask = state_->filePatch(session, file.path);
                auto patch = co_await std::move(patchTask);
                if (OrvexCore::DiffReview::isReviewed(file.path, patch, session.reviewedFiles)) {
                    reviewed.insert(file.path);
                }
            }
        }
        bool vanished = false;
        for (const auto& [path, mark] : session.reviewedFiles) {
            vanished = vanished || !listed.contains(path);
        }
        if (vanished) {
            state_->pruneReviewed(id, listed);
            co_await durable();
        }
        json list = json::array();
        std::int64_t added = 0, removed = 0;
        for (const auto& file : files) {
            added += file.added;
            removed += file.removed;
            list.push_back(json::array({file.path, std::string(1, file.status), file.added,
                                        file.removed, reviewed.contains(file.path)}));
        }
        json base;
        if (session.diffCompareRef) {
            base = {{"kind", "compareRef"}, {"ref", *session.diffCompareRef}};
        } else if (session.baseCommit) {
            base = {{"kind", "baseCommit"}, {"ref", *session.baseCommit}};
        } else {
            base = {{"kind", "mergeBase"}, {"ref", nullptr}};
            for (const auto& workspace : state_->workspaces().get()) {
                if (workspace.id == session.workspaceID) {
                    auto work = [repo = workspace.repoPath, branch = session.branch] {
                        return OrvexCore::GitCLIService().mergeBase(repo, branch, "HEAD");
                    };
                    base["ref"] = co_await OrvexCore::inBackground(std::move(work));
                }
            }
        }
        co_return json{{"files", std::move(list)},
                       {"totals",
                        {{"files", files.size()},
                         {"added", added},
                         {"removed", removed},
                         {"reviewed", reviewed.size()}}},
                       {"base", std::move(base)},
                       {"worktreePath", session.worktreePath}};
    }
    if (method == "review.patch" || method == "review.toggle") {
        auto path = relativePath(params);
        auto patchTask = state_->filePatch(session, path);
        auto patch = co_await std::move(patchTask);
        if (patch.empty()) {
            throw ProtocolError("notFound", fmt::format("'{}' is not among the session's changed "
                                                        "files",
                                                        path));
        }
        if (method == "review.toggle") {
            state_->toggleReviewed(id, path, patch);
            co_await durable();
        }
        auto now = state_->session(id);
        bool reviewed = now && OrvexCore::DiffReview::isReviewed(path, patch, now->reviewedFiles);
        if (method == "review.toggle") {
            co_return json{{"path", path}, {"reviewed", reviewed}};
        }
        auto threshold = settings_->diffFoldThreshold();
        auto work = [patch = std::move(patch), threshold] { return patchRows(patch, threshold); };
        json answer = co_await OrvexCore::inBackground(std::move(work));
        answer["path"] = path;
        answer["reviewed"] = reviewed;
        co_return answer;
    }
    if (method == "review.refs") {
        auto task = state_->listDiffCompareRefs(session);
        auto refs = co_await std::move(task);
        co_return json{
            {"local", refs.local},
            {"remote", refs.remote},
            {"current", session.diffCompareRef ? json(*session.diffCompareRef) : json(nullptr)}};
    }
    if (method == "review.setBase") {
        auto ref = P::optionalString(params, "ref");
        if (ref) {
            try {
                OrvexCore::GitCLIService::validateRef(*ref, "ref");
            } catch (const OrvexCore::GitError& error) {
                throw ProtocolError("invalidParams", "params.ref: " + error.message);
            }
        }
        state_->setDiffCompareRef(ref, id);
        co_await durable();
        co_return json::object();
    }
    if (method == "review.open") {
        std::string target = session.worktreePath;
        if (params.contains("path") && !params["path"].is_null()) {
            target += "/" + relativePath(params);
            std::error_code ec;
            if (!std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
                throw ProtocolError("notFound", "no such file in the session's worktree");
            }
        }
        auto editor = settings_->defaultEditor();
        auto work = [target, editor] { return openInEditor(target, editor); };
        auto with = co_await OrvexCore::inBackground(std::move(work));
        co_return json{{"opened", target}, {"editor", with}};
    }
    throw ProtocolError("unknownMethod", fmt::format("no method named '{}'", method));
}

} // namespace OrvexServer
