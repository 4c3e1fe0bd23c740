#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Lifecycle/SessionFinish.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Runtime.hpp"

namespace Orvex {

using OrvexCore::Session;
using OrvexCore::Workspace;
namespace Finish = OrvexCore::SessionFinish;

namespace {

const char* strategyName(Finish::Strategy strategy) {
    switch (strategy) {
    case Finish::Strategy::merge:
        return "merge";
    case Finish::Strategy::rebase:
        return "rebase";
    case Finish::Strategy::squash:
        return "squash";
    }
    return "merge";
}

std::string commandText(const std::vector<std::string>& command) {
    std::string line;
    for (const auto& word : command) {
        bool plain = !word.empty() && word.find_first_of(" \t\n'\"\\$*?") == std::string::npos;
        line += (line.empty() ? "" : " ") + (plain ? word : "'" + word + "'");
    }
    return line;
}

} // namespace

void finishCommand(Runtime& rt, const FinishArgs& args) {
    int strategies = (args.merge ? 1 : 0) + (args.rebase ? 1 : 0) + (args.squash ? 1 : 0);
    if (args.pullRequest && strategies > 0) {
        throw CliFailure(ExitStatus::usage,
                         "--pr brings the work home through the pull request; it does not go "
                         "with --merge, --rebase or --squash");
    }
    Session session = findSession(rt, args.session);
    Workspace workspace = workspaceOf(rt, session);
    if (!session.isWorktree) {
        throw CliFailure(ExitStatus::usage,
                         fmt::format("{} works in the main checkout, on its branch {}: there is no "
                                     "separate work to bring home",
                                     session.slug, session.branch));
    }
    Finish::Request request;
    request.repoPath = workspace.repoPath;
    request.worktreePath = session.worktreePath;
    request.branch = session.branch;
    request.title = session.title;
    request.into = args.into;
    request.strategy = args.rebase   ? Finish::Strategy::rebase
                       : args.squash ? Finish::Strategy::squash
                                     : Finish::Strategy::merge;
    request.push = args.push;
    request.pullRequest = args.pullRequest;

    Finish::Plan plan =
        rt.run(OrvexCore::inBackground([request] { return Finish::plan(request); }));

    // Everything is said as it happens, not held back to the end: a long merge or push shows
    // where it is, and a failure leaves the steps before it on the screen.
    std::string text;
    text +=
        fmt::format("finishing {}: {} of {} to bring onto {}\n", session.slug,
                    counted(plan.commitsToBring, "commit", "commits"), session.branch, plan.base);
    if (!args.pullRequest) {
        text += fmt::format("  strategy: {}, in {}\n", strategyName(request.strategy),
                            plan.baseCheckout);
    }
    for (const auto& note : plan.notes) {
        text += "  note: " + note + "\n";
    }
    if (args.dryRun) {
        text += "plan:\n";
        int n = 0;
        for (const auto& step : plan.steps) {
            text += fmt::format("  {}. {}\n", ++n, step.description);
            if (!step.command.empty()) {
                text += fmt::format("     $ {}\n", commandText(step.command));
            }
        }
        if (args.remove) {
            text += fmt::format("  {}. remove session {} as 'orvex rm' does (refused if it would "
                                "lose work)\n",
                                ++n, session.slug);
        }
        if (n == 0) {
            text += "  nothing to do\n";
        }
        text += "dry run: nothing was changed\n";
        rt.out().text += text;
        return;
    }
    writeAll(STDOUT_FILENO, text);
    rt.run(OrvexCore::inBackground([plan, request] {
        Finish::execute(plan, request, [](const std::string& event) {
            writeAll(STDOUT_FILENO, event.ends_with('\n') ? event : event + "\n");
        });
    }));
    writeAll(STDOUT_FILENO, fmt::format("finished {}\n", session.slug));
    if (args.remove) {
        RmArgs rm;
        rm.session = args.session;
        rmCommand(rt, rm);
    }
}

} // namespace Orvex
