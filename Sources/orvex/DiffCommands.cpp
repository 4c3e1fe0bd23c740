#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "OrvexCore/Diff/DiffReview.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "orvex/ChangedFiles.hpp"
#include "orvex/CommandSupport.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Output.hpp"
#include "orvex/PatchView.hpp"
#include "orvex/Progress.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

using OrvexCore::FileDiff;
using OrvexCore::Session;

namespace {

/// Which base a session's diff is taken against, in the order the state chooses it.
struct BaseDescription {
    std::string kind; ///< "compareRef", "baseCommit" or "mergeBase"
    std::string ref;  ///< the ref or commit (for the merge base: the branch it is taken with)
    std::string text; ///< for people
};

BaseDescription describeBase(const Session& session) {
    if (session.diffCompareRef) {
        return {"compareRef", *session.diffCompareRef,
                fmt::format("compare ref {}", *session.diffCompareRef)};
    }
    if (session.baseCommit) {
        return {"baseCommit", *session.baseCommit,
                fmt::format("base commit {} (where the session started)",
                            session.baseCommit->substr(0, 10))};
    }
    return {"mergeBase", session.branch,
            fmt::format("the merge base of {} and HEAD", session.branch)};
}

/// The session's changed files, through the helper pool.
std::vector<FileDiff> changedFiles(Runtime& rt, const Session& session) {
    rt.ensureDiffHelper();
    Progress progress("listing the changes of " + session.slug);
    auto& state = rt.state();
    return rt.run(state.diff(session));
}

/// The session's changed files, held compactly: a listing may run to a hundred thousand.
ChangedFiles listedFiles(Runtime& rt, const Session& session) {
    rt.ensureDiffHelper();
    Progress progress("listing the changes of " + session.slug);
    auto& state = rt.state();
    return rt.run(state.changedFiles(session));
}

/// The current patches of `paths`, asked of the helper pool all at once.
std::vector<std::string> patches(Runtime& rt, const Session& session,
                                 const std::vector<std::string>& paths) {
    rt.ensureDiffHelper();
    auto& state = rt.state();
    std::vector<boost::asio::awaitable<std::string>> tasks;
    for (const auto& path : paths) {
        tasks.push_back(state.filePatch(session, path));
    }
    auto outcomes = rt.runAll(std::move(tasks));
    std::vector<std::string> result;
    for (auto& outcome : outcomes) {
        if (outcome.error) {
            std::rethrow_exception(outcome.error);
        }
        result.push_back(std::move(*outcome.value));
    }
    return result;
}

/// The changed file the user named: as `orvex diff` lists it, or a path (absolute or relative
/// to the current folder) inside the session's worktree. Throws CliFailure (notFound).
std::string changedFile(const Session& session, const std::vector<FileDiff>& files,
                        const std::string& name) {
    auto listed = [&](const std::string& path) {
        return std::any_of(files.begin(), files.end(),
                           [&](const FileDiff& f) { return f.path == path; });
    };
    if (listed(name)) {
        return name;
    }
    std::string absolute = absolutePath(name);
    std::string root = OrvexCore::Paths::standardized(session.worktreePath);
    if (OrvexCore::Paths::isInside(absolute, root) && absolute.size() > root.size() + 1) {
        std::string relative = absolute.substr(root.size() + 1);
        if (listed(relative)) {
            return relative;
        }
    }
    throw CliFailure(
        ExitStatus::notFound,
        fmt::format("{} is not among the files session {} changed", name, session.slug));
}

std::vector<std::string> changedFiles(const Session& session, const std::vector<FileDiff>& files,
                                      const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& name : names) {
        std::string path = changedFile(session, files, name);
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(path);
        }
    }
    return paths;
}

/// For each file, whether it carries a mark that still holds. Only marked files need their
/// patch, so an unreviewed session costs no patch at all.
std::vector<bool> reviewedMarks(Runtime& rt, const Session& session, const ChangedFiles& files) {
    std::vector<bool> marks(files.size(), false);
    if (session.reviewedFiles.empty()) {
        return marks;
    }
    std::vector<std::size_t> marked;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string path(files.path(i));
        if (session.reviewedFiles.contains(path)) {
            marked.push_back(i);
            paths.push_back(std::move(path));
        }
    }
    auto texts = patches(rt, session, paths);
    for (std::size_t k = 0; k < marked.size(); ++k) {
        marks[marked[k]] =
            OrvexCore::DiffReview::isReviewed(paths[k], texts[k], session.reviewedFiles);
    }
    return marks;
}

/// Writes the listing's table the way Table lays it out (two-space indent, columns two
/// spaces apart, bold headings, no trailing blanks), one row at a time: a table of a hundred
/// thousand rows is not built as cells first. `write` takes the text in pieces.
template <typename Write>
void writeFileTable(const Style& style, const ChangedFiles& files, const std::vector<bool>& marks,
                    Write write) {
    auto plusCell = [&](std::size_t i) { return fmt::format("+{}", files.added(i)); };
    std::size_t fileWidth = displayWidth("FILE");
    std::size_t addedWidth = displayWidth("ADDED");
    for (std::size_t i = 0; i < files.size(); ++i) {
        fileWidth = std::max(fileWidth, displayWidth(printable(files.path(i))));
        addedWidth = std::max(addedWidth, plusCell(i).size());
    }
    std::string piece;
    auto pad = [&piece](std::size_t from, std::size_t width) {
        piece.append(width > from ? width - from : 0, ' ');
        piece += "  ";
    };
    auto endLine = [&piece] {
        while (!piece.empty() && piece.back() == ' ') {
            piece.pop_back();
        }
        piece += '\n';
    };
    piece = "  " + style.bold("R");
    pad(1, 1);
    piece += style.bold("S");
    pad(1, 1);
    piece += style.bold("FILE");
    pad(4, fileWidth);
    piece += style.bold("ADDED");
    pad(5, addedWidth);
    piece += style.bold("REMOVED");
    endLine();
    for (std::size_t i = 0; i < files.size(); ++i) {
        piece += "  ";
        piece += marks[i] ? style.green("R") : "";
        pad(marks[i] ? 1 : 0, 1);
        const std::string status(1, files.status(i));
        piece += status == "A" ? style.green(status) : status == "D" ? style.red(status) : status;
        pad(1, 1);
        std::string path = printable(files.path(i));
        piece += path;
        pad(displayWidth(path), fileWidth);
        std::string plus = plusCell(i);
        piece += style.green(plus);
        pad(plus.size(), addedWidth);
        piece += style.red(fmt::format("-{}", files.removed(i)));
        endLine();
        if (piece.size() >= 65536) {
            write(piece);
            piece.clear();
        }
    }
    write(piece);
}

/// Throws CliFailure unless `ref` names a commit in the session's repository.
void checkRef(const Session& session, const std::string& ref) {
    OrvexCore::GitCLIService::validateRef(ref, "ref");
    std::vector<std::string> args{"git",      "-C",      session.worktreePath, "rev-parse",
                                  "--verify", "--quiet", "--end-of-options",   ref + "^{commit}"};
    auto result = OrvexCore::Platform::runToCompletion("/usr/bin/env", args, false);
    if (result.status != 0) {
        throw CliFailure(ExitStatus::notFound,
                         fmt::format("unknown ref '{}': no such branch or commit", ref));
    }
}

} // namespace

void diffCommand(Runtime& rt, const DiffArgs& args) {
    Session session = findSession(rt, args.session);
    auto files = listedFiles(rt, session);
    auto marks = reviewedMarks(rt, session, files);
    auto base = describeBase(session);
    long long added = 0;
    long long removed = 0;
    std::size_t reviewed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        added += files.added(i);
        removed += files.removed(i);
        reviewed += marks[i] ? 1 : 0;
    }
    if (args.json) {
        auto list = nlohmann::json::array();
        for (std::size_t i = 0; i < files.size(); ++i) {
            list.push_back({{"path", files.path(i)},
                            {"status", std::string(1, files.status(i))},
                            {"added", files.added(i)},
                            {"removed", files.removed(i)},
                            {"reviewed", static_cast<bool>(marks[i])}});
        }
        nlohmann::json doc{{"session", session.slug},
                           {"id", session.id.string()},
                           {"worktreePath", session.worktreePath},
                           {"base", {{"kind", base.kind}, {"ref", base.ref}}},
                           {"files", std::move(list)},
                           {"totals",
                            {{"files", files.size()},
                             {"added", added},
                             {"removed", removed},
                             {"reviewed", reviewed}}}};
        rt.out().text += doc.dump(2) + "\n";
        return;
    }
    const Style& style = rt.style();
    auto& out = rt.out().text;
    out += fmt::format("{}: changes against {}\n", style.bold(session.slug), base.text);
    if (files.empty()) {
        out += "no changes\n";
        return;
    }
    // Output that is not paged goes out as it is written: a long listing is then never held
    // whole. Paged output has to be whole before the pager decides.
    bool stream = isatty(STDOUT_FILENO) != 1 || !rt.options().pager;
    bool readerGone = false;
    auto write = [&](const std::string& piece) {
        if (!stream) {
            out += piece;
        } else if (!readerGone) {
            readerGone = !writeAll(STDOUT_FILENO, out) || !writeAll(STDOUT_FILENO, piece);
            out.clear();
        }
    };
    writeFileTable(style, files, marks, write);
    write(
        fmt::format("{}, {}(+), {}(-); {} of {} reviewed\n",
                    counted(static_cast<long long>(files.size()), "file changed", "files changed"),
                    counted(added, "insertion", "insertions"),
                    counted(removed, "deletion", "deletions"), reviewed, files.size()));
    rt.out().pageable = true;
}

void showCommand(Runtime& rt, const ShowArgs& args) {
    Session session = findSession(rt, args.session);
    auto files = changedFiles(rt, session);
    std::vector<std::string> paths;
    if (args.files.empty()) {
        for (const auto& f : files) {
            paths.push_back(f.path);
        }
    } else {
        paths = changedFiles(session, files, args.files);
    }
    PatchViewOptions options;
    options.style = rt.style();
    options.threshold = args.context;
    options.expanded.insert(args.expand.begin(), args.expand.end());
    PatchView view(options);
    std::string out;
    // Output that is not paged goes out file by file, each as soon as it and every file before
    // it have their patch: a large session starts printing at once instead of after the last
    // patch. Paged output has to be whole before the pager decides; progress fills the wait.
    bool stream = isatty(STDOUT_FILENO) != 1 || !rt.options().pager;
    bool readerGone = false;
    std::vector<std::optional<std::string>> ready(paths.size());
    std::size_t next = 0;
    std::size_t done = 0;
    rt.ensureDiffHelper();
    auto& state = rt.state();
    std::vector<boost::asio::awaitable<std::string>> tasks;
    for (const auto& path : paths) {
        tasks.push_back(state.filePatch(session, path));
    }
    Progress progress("fetching patches");
    rt.runEach<std::string>(std::move(tasks), [&](std::size_t i, Runtime::Outcome<std::string> o) {
        if (o.error) {
            std::rethrow_exception(o.error);
        }
        ready[i] = std::move(*o.value);
        progress.count(++done, paths.size());
        while (next < paths.size() && ready[next]) {
            bool reviewed =
                OrvexCore::DiffReview::isReviewed(paths[next], *ready[next], session.reviewedFiles);
            std::string piece;
            view.add(piece, paths[next], *ready[next], reviewed);
            ready[next].reset();
            ++next;
            if (!stream) {
                out += piece;
            } else if (!readerGone) {
                progress.clear();
                readerGone = !writeAll(STDOUT_FILENO, piece);
            }
        }
    });
    progress.clear();
    for (auto id : args.expand) {
        if (id > view.foldCount()) {
            throw CliFailure(ExitStatus::usage,
                             view.foldCount() == 0
                                 ? fmt::format("there is no fold {}: nothing is folded", id)
                                 : fmt::format("there is no fold {}: the folds are 1 to {}", id,
                                               view.foldCount()));
        }
    }
    if (paths.empty()) {
        out = fmt::format("{}: no changes against {}\n", session.slug, describeBase(session).text);
    }
    rt.out().text += out;
    rt.out().pageable = true;
}

void reviewCommand(Runtime& rt, const ReviewArgs& args) {
    if (args.files.empty() && !args.prune) {
        throw CliFailure(ExitStatus::usage, "name at least one FILE, or give --prune");
    }
    Session session = findSession(rt, args.session);
    auto files = changedFiles(rt, session);
    auto paths = changedFiles(session, files, args.files);
    auto texts = patches(rt, session, paths);
    auto& state = rt.state();
    auto& out = rt.out().text;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        state.toggleReviewed(session.id, paths[i], texts[i]);
        auto now = currentSession(rt, session.id);
        bool marked =
            now && OrvexCore::DiffReview::isReviewed(paths[i], texts[i], now->reviewedFiles);
        out += fmt::format("{} {}\n", marked ? rt.style().green("reviewed  ") : "unreviewed",
                           printable(paths[i]));
    }
    if (args.prune) {
        std::set<std::string> keep;
        for (const auto& f : files) {
            keep.insert(f.path);
        }
        auto before = currentSession(rt, session.id);
        state.pruneReviewed(session.id, keep);
        auto after = currentSession(rt, session.id);
        std::size_t dropped =
            before && after ? before->reviewedFiles.size() - after->reviewedFiles.size() : 0;
        out += fmt::format("dropped {} of files no longer changed\n",
                           counted(static_cast<long long>(dropped), "mark", "marks"));
    }
}

void compareCommand(Runtime& rt, const CompareArgs& args) {
    Session session = findSession(rt, args.session);
    auto& state = rt.state();
    auto& out = rt.out().text;
    if (!args.ref && !args.clear) {
        out += fmt::format("{} is compared against {}\n", session.slug, describeBase(session).text);
        return;
    }
    if (args.ref) {
        rt.run(OrvexCore::inBackground([session, ref = *args.ref] { checkRef(session, ref); }));
    }
    std::size_t marks = session.reviewedFiles.size();
    state.setDiffCompareRef(args.clear ? std::nullopt : args.ref, session.id);
    auto now = currentSession(rt, session.id).value_or(session);
    out += fmt::format("{} is now compared against {}\n", session.slug, describeBase(now).text);
    if (marks > 0) {
        out +=
            fmt::format("dropped {} made against the old base\n",
                        counted(static_cast<long long>(marks), "reviewed mark", "reviewed marks"));
    }
}

void refsCommand(Runtime& rt, const RefsArgs& args) {
    Session session = findSession(rt, args.session);
    auto& state = rt.state();
    auto refs = rt.run(state.listDiffCompareRefs(session));
    std::string current = session.diffCompareRef.value_or("");
    if (args.json) {
        nlohmann::json doc{{"local", refs.local},
                           {"remote", refs.remote},
                           {"compareRef", session.diffCompareRef
                                              ? nlohmann::json(*session.diffCompareRef)
                                              : nullptr}};
        rt.out().text += doc.dump(2) + "\n";
        return;
    }
    auto& out = rt.out().text;
    auto list = [&](const char* title, const std::vector<std::string>& names) {
        out += fmt::format("{}:\n", title);
        if (names.empty()) {
            out += "    (none)\n";
        }
        for (const auto& name : names) {
            out += fmt::format("  {} {}\n", name == current ? "*" : " ", name);
        }
    };
    list("local branches", refs.local);
    list("remote branches", refs.remote);
    rt.out().pageable = true;
}

} // namespace Orvex
