// The review panel's methods: a session's changed files with their review marks, one file's
// patch ready to draw, the refs to compare against, and opening a file in an editor.

#include <cstdlib>
#include <filesystem>
#include <list>
#include <mutex>
#include <set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
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
using OrvexCore::UUID;

namespace {

/// Rows answered when the caller does not say, and the most it may ask for at once.
constexpr std::int64_t defaultWindow = 500;
constexpr std::int64_t largestWindow = 2000;

/// What names one parse of a patch to the page: the patch's fingerprint and the fold
/// threshold it was folded with. Rows of one version always fit together.
std::string versionOf(const std::string& fingerprint, std::int64_t threshold) {
    return fingerprint + "/" + std::to_string(threshold);
}

/// The parsed patches the pages are looking at, so that scrolling through a long patch runs
/// neither git nor the parser again. An entry is found only by the version the page was
/// given with its first rows, so it never serves rows of another text of the file: opening a
/// file or drawing it again (the page does on focus, when a terminal settles and after a new
/// base) asks without a version, runs git, and replaces the entry when the patch changed.
/// Bounded: the most recently asked `capacity` files of any sessions. Any thread.
class PatchCache {
public:
    std::shared_ptr<const PatchRows> find(const UUID& session, const std::string& path,
                                          const std::string& version) {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->session == session && it->path == path &&
                versionOf(it->rows->fingerprint(), it->rows->foldThreshold()) == version) {
                entries_.splice(entries_.begin(), entries_, it);
                return entries_.front().rows;
            }
        }
        return nullptr;
    }

    void keep(const UUID& session, const std::string& path, std::shared_ptr<const PatchRows> rows) {
        std::lock_guard lock(mutex_);
        entries_.remove_if([&](const Entry& e) { return e.session == session && e.path == path; });
        entries_.push_front(Entry{session, path, std::move(rows)});
        if (entries_.size() > capacity) {
            entries_.pop_back();
        }
    }

    /// Drops the session's entries (its base changed).
    void forget(const UUID& session) {
        std::lock_guard lock(mutex_);
        entries_.remove_if([&](const Entry& e) { return e.session == session; });
    }

private:
    static constexpr std::size_t capacity = 8;
    struct Entry {
        UUID session;
        std::string path;
        std::shared_ptr<const PatchRows> rows;
    };
    std::mutex mutex_;
    std::list<Entry> entries_; ///< most recently asked first
};

PatchCache& patchCache() {
    static PatchCache cache;
    return cache;
}

/// `params.key` as a whole number of at least 0, `fallback` when absent or null.
std::int64_t windowNumber(const json& params, const char* key, std::int64_t fallback) {
    if (!params.contains(key) || params[key].is_null()) {
        return fallback;
    }
    auto value = P::integer(params, key);
    if (value < 0) {
        throw ProtocolError("invalidParams",
                            fmt::format("params.{} must be a whole number of at least 0", key));
    }
    return value;
}

std::set<std::int64_t> openFolds(const json& params) {
    std::set<std::int64_t> open;
    if (!params.contains("open") || params["open"].is_null()) {
        return open;
    }
    if (!params["open"].is_array()) {
        throw ProtocolError("invalidParams", "params.open must be a list of fold numbers");
    }
    for (const auto& id : params["open"]) {
        if (!id.is_number_integer()) {
            throw ProtocolError("invalidParams", "params.open must be a list of fold numbers");
        }
        open.insert(id.get<std::int64_t>());
    }
    return open;
}

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

// g++ 12 at -O2 sees the coroutine frame, which Asio allocates with aligned_alloc and frees
// with free, as allocated and freed by mismatched functions once this function grows past its
// inlining limits: a false alarm about Asio's own pair of functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
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
        // The base first: a merge base is found once, and the listing and the marks' patches
        // are then taken against that very commit rather than each finding it again.
        json base;
        Session against = session;
        if (session.diffCompareRef) {
            base = {{"kind", "compareRef"}, {"ref", *session.diffCompareRef}};
        } else if (session.baseCommit) {
            base = {{"kind", "baseCommit"}, {"ref", *session.baseCommit}};
        } else {
            base = {{"kind", "mergeBase"}, {"ref", nullptr}};
            for (const auto& workspace : state_->workspaces().get()) {
                if (workspace.id != session.workspaceID) {
                    continue;
                }
                auto work = [repo = workspace.repoPath, branch = session.branch] {
                    return OrvexCore::GitCLIService().mergeBase(repo, branch, "HEAD");
                };
                try {
                    std::string commit = co_await OrvexCore::inBackground(std::move(work));
                    base["ref"] = commit;
                    against.baseCommit = std::move(commit);
                } catch (const std::exception& error) {
                    // The listing below finds the base its own way, and fails only if it
                    // cannot either.
                    base["error"] = error.what();
                }
            }
        }
        auto listing = state_->diff(against);
        auto files = co_await std::move(listing);
        // Only files that carry a mark need their patch: the mark holds for its exact text.
        // The patches are asked for all at once; the helper pool spreads them over its workers.
        std::vector<std::string> marked;
        std::set<std::string> listed;
        for (const auto& file : files) {
            listed.insert(file.path);
            if (session.reviewedFiles.contains(file.path)) {
                marked.push_back(file.path);
            }
        }
        std::set<std::string> reviewed;
        if (!marked.empty()) {
            auto executor = co_await asio::this_coro::executor;
            using Fetch = decltype(asio::co_spawn(
                executor, std::declval<asio::awaitable<std::string>>(), asio::deferred));
            std::vector<Fetch> fetches;
            for (const auto& path : marked) {
                fetches.push_back(
                    asio::co_spawn(executor, state_->filePatch(against, path), asio::deferred));
            }
            auto group = asio::experimental::make_parallel_group(std::move(fetches));
            auto all = group.async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
            auto [order, errors, patches] = co_await std::move(all);
            for (std::size_t k = 0; k < marked.size(); ++k) {
                if (errors[k]) {
                    std::rethrow_exception(errors[k]);
                }
                if (OrvexCore::DiffReview::isReviewed(marked[k], patches[k],
                                                      session.reviewedFiles)) {
                    reviewed.insert(marked[k]);
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
        co_return json{{"files", std::move(list)},
                       {"totals",
                        {{"files", files.size()},
                         {"added", added},
                         {"removed", removed},
                         {"reviewed", reviewed.size()}}},
                       {"base", std::move(base)},
                       {"worktreePath", session.worktreePath}};
    }
    if (method == "review.patch") {
        auto path = relativePath(params);
        const std::int64_t first = windowNumber(params, "first", 0);
        const std::int64_t count =
            std::min(windowNumber(params, "count", defaultWindow), largestWindow);
        auto open = openFolds(params);
        auto version = P::optionalString(params, "version");
        std::shared_ptr<const PatchRows> rows;
        if (version) {
            rows = patchCache().find(id, path, *version);
        }
        std::string patch;
        if (!rows) {
            auto patchTask = state_->filePatch(session, path);
            patch = co_await std::move(patchTask);
            if (patch.empty()) {
                throw ProtocolError(
                    "notFound", fmt::format("'{}' is not among the session's changed files", path));
            }
        }
        // Parsing (when the patch is new) and cutting the window are one trip to the pool.
        std::int64_t threshold = settings_->diffFoldThreshold();
        auto cut = [id, path, rows, patch = std::move(patch), threshold, first, count,
                    open]() mutable {
            if (!rows) {
                rows = patchCache().find(
                    id, path, versionOf(OrvexCore::DiffReview::fingerprint(patch), threshold));
            }
            if (!rows) {
                rows = std::make_shared<const PatchRows>(std::move(patch), threshold);
                patchCache().keep(id, path, rows);
            }
            auto window = rows->window(first, count, open);
            return std::make_pair(rows, std::move(window));
        };
        auto [shown, answer] = co_await OrvexCore::inBackground(std::move(cut));
        rows = shown;
        auto now = state_->session(id);
        bool reviewed = false;
        if (now) {
            auto mark = now->reviewedFiles.find(path);
            reviewed = mark != now->reviewedFiles.end() && mark->second == rows->fingerprint();
        }
        answer["path"] = path;
        answer["reviewed"] = reviewed;
        answer["notice"] = rows->notice();
        answer["lines"] = rows->lineCount();
        answer["version"] = versionOf(rows->fingerprint(), rows->foldThreshold());
        co_return answer;
    }
    if (method == "review.toggle") {
        auto path = relativePath(params);
        auto patchTask = state_->filePatch(session, path);
        auto patch = co_await std::move(patchTask);
        if (patch.empty()) {
            throw ProtocolError("notFound", fmt::format("'{}' is not among the session's changed "
                                                        "files",
                                                        path));
        }
        state_->toggleReviewed(id, path, patch);
        co_await durable();
        auto now = state_->session(id);
        bool reviewed = now && OrvexCore::DiffReview::isReviewed(path, patch, now->reviewedFiles);
        co_return json{{"path", path}, {"reviewed", reviewed}};
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
        patchCache().forget(id);
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
#pragma GCC diagnostic pop

} // namespace OrvexServer
