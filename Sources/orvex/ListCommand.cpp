#include <algorithm>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Progress.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"
#include "orvex/WatchFrame.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::Workspace;

namespace {

/// Changed-file counts of `sessions`, asked of the helper pool all at once; an entry is empty
/// where the diff failed (its message goes to `errors`).
std::vector<std::optional<std::size_t>>
changeCounts(Runtime& rt, const std::vector<Session>& sessions, std::vector<std::string>& errors) {
    rt.ensureDiffHelper();
    auto& state = rt.state();
    std::vector<boost::asio::awaitable<std::size_t>> tasks;
    for (const auto& session : sessions) {
        // Only the number is shown: the listing is counted as it arrives, never kept.
        tasks.push_back(state.changeCount(session));
    }
    Progress progress("counting the changes of each session");
    auto outcomes = rt.runAll(std::move(tasks));
    progress.clear();
    std::vector<std::optional<std::size_t>> counts;
    errors.assign(sessions.size(), "");
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        counts.push_back(outcomes[i].value);
        if (outcomes[i].error) {
            errors[i] = describe(outcomes[i].error).message;
        }
    }
    return counts;
}

/// The status of the session's programs in the server; "not running" without an open grid,
/// with the last known status beside it when it still asks for attention.
std::string liveStatusCell(const Style& style, StateClient& state, const Session& session) {
    if (auto live = state.liveStatus(session.id)) {
        return statusCell(style, *live);
    }
    std::string text = style.dim("not running");
    if (session.lastKnownStatus == OrvexCore::SessionStatus::bell ||
        session.lastKnownStatus == OrvexCore::SessionStatus::needsInput) {
        text += " (last: " + statusCell(style, session.lastKnownStatus) + ")";
    }
    return text;
}

/// The lines under a running session for --why: each terminal's title, status and reason,
/// the titles aligned.
std::vector<std::string> whyLines(const Style& style, StateClient& state, const Session& session) {
    auto terminals = state.terminalStatuses(session.id);
    std::size_t titleWidth = 0;
    for (const auto& terminal : terminals) {
        titleWidth = std::max(titleWidth, displayWidth(terminal.title));
    }
    std::vector<std::string> lines;
    for (const auto& terminal : terminals) {
        std::string status = terminalStatusText(Style{}, terminal.status);
        lines.push_back(fmt::format("        {}  {}{}  {}", padded(terminal.title, titleWidth),
                                    terminalStatusText(style, terminal.status),
                                    std::string(status.size() < 11 ? 11 - status.size() : 0, ' '),
                                    style.dim(terminal.reason)));
        while (!lines.back().empty() && lines.back().back() == ' ') {
            lines.back().pop_back();
        }
    }
    return lines;
}

} // namespace

void lsCommand(Runtime& rt, const LsArgs& args) {
    auto& state = rt.state();
    std::vector<Workspace> shown;
    if (args.workspace) {
        shown.push_back(findWorkspace(rt, args.workspace));
    } else {
        shown = allWorkspaces(state);
    }
    auto selected = selectedWorkspace(state);

    std::vector<Session> listed;
    for (const auto& w : shown) {
        auto sessions = sessionsOf(state, w.id);
        listed.insert(listed.end(), sessions.begin(), sessions.end());
    }
    std::vector<std::optional<std::size_t>> counts(listed.size());
    std::vector<std::string> errors(listed.size());
    if (args.changes) {
        counts = changeCounts(rt, listed, errors);
    }

    if (args.json) {
        auto workspaces = nlohmann::json::array();
        std::size_t k = 0;
        for (const auto& w : shown) {
            auto sessions = nlohmann::json::array();
            int position = 1;
            for (const auto& s : sessionsOf(state, w.id)) {
                nlohmann::json item{{"id", s.id.string()},
                                    {"position", position++},
                                    {"slug", s.slug},
                                    {"title", s.title},
                                    {"branch", s.branch},
                                    {"worktreePath", s.worktreePath},
                                    {"isWorktree", s.isWorktree},
                                    {"status", OrvexCore::rawValue(s.lastKnownStatus)}};
                auto live = state.liveStatus(s.id);
                item["running"] = live.has_value();
                item["liveStatus"] = live ? nlohmann::json(OrvexCore::rawValue(*live)) : nullptr;
                if (live) {
                    auto terminals = nlohmann::json::array();
                    for (const auto& terminal : state.terminalStatuses(s.id)) {
                        terminals.push_back({{"id", terminal.id.string()},
                                             {"title", terminal.title},
                                             {"status", terminal.status},
                                             {"reason", terminal.reason}});
                    }
                    item["terminals"] = std::move(terminals);
                }
                if (args.changes) {
                    item["changes"] = counts[k] ? nlohmann::json(*counts[k]) : nullptr;
                    if (!errors[k].empty()) {
                        item["changesError"] = errors[k];
                    }
                }
                ++k;
                sessions.push_back(std::move(item));
            }
            workspaces.push_back({{"id", w.id.string()},
                                  {"displayName", w.displayName},
                                  {"repoPath", w.repoPath},
                                  {"color", w.color ? nlohmann::json(*w.color) : nullptr},
                                  {"selected", selected == w.id},
                                  {"sessions", std::move(sessions)}});
        }
        rt.out().text += nlohmann::json{{"workspaces", std::move(workspaces)}}.dump(2) + "\n";
        return;
    }

    const Style& style = rt.style();
    auto& out = rt.out().text;
    if (shown.empty()) {
        out += "no workspaces yet: register a repository with 'orvex open PATH'\n";
        return;
    }
    std::size_t k = 0;
    bool first = true;
    for (const auto& w : shown) {
        auto sessions = sessionsOf(state, w.id);
        if (!first) {
            out += "\n";
        }
        first = false;
        out += fmt::format("{} {}  {}  ({})\n", selected == w.id ? "*" : " ",
                           style.bold(w.displayName), abbreviatedHome(w.repoPath),
                           counted(static_cast<long long>(sessions.size()), "session", "sessions"));
        if (sessions.empty()) {
            continue;
        }
        std::vector<std::string> headers{"#", "SLUG", "TITLE", "BRANCH", "STATUS"};
        if (args.changes) {
            headers.push_back("CHANGES");
        }
        headers.push_back("WORKTREE");
        Table table(headers);
        // With --why, the lines to put under each session's row.
        std::vector<std::vector<std::string>> under;
        int position = 1;
        for (const auto& s : sessions) {
            under.push_back(args.why && state.liveStatus(s.id) ? whyLines(style, state, s)
                                                               : std::vector<std::string>{});
            std::vector<std::string> row{std::to_string(position++), s.slug, s.title, s.branch,
                                         liveStatusCell(style, state, s)};
            if (args.changes) {
                row.push_back(counts[k] ? std::to_string(*counts[k]) : style.red("error"));
            }
            ++k;
            row.push_back(s.isWorktree ? abbreviatedHome(s.worktreePath)
                                       : abbreviatedHome(s.worktreePath) + " (main checkout)");
            table.add(std::move(row));
        }
        // The table renders its header, then one line per row in order.
        std::string rendered = table.render(style, "    ");
        std::size_t start = 0;
        for (std::size_t line = 0; start < rendered.size(); ++line) {
            auto end = rendered.find('\n', start);
            end = end == std::string::npos ? rendered.size() : end + 1;
            out.append(rendered, start, end - start);
            start = end;
            if (line >= 1 && line - 1 < under.size()) {
                for (const auto& text : under[line - 1]) {
                    out += text + "\n";
                }
            }
        }
    }
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (!errors[i].empty()) {
            out += fmt::format("{}: {}\n", listed[i].slug, errors[i]);
        }
    }
    rt.out().pageable = true;
}

} // namespace Orvex
