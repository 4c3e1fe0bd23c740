// The application state against the main thread's budget. Twenty repositories with five
// worktrees each and 1,000 stored sessions:
// - a heartbeat on the main executor every millisecond while loadPersisted(), addBranch,
//   deleteSession and diff(for:) run: the longest gap between two beats (target: 10 ms);
// - loadPersisted() (parallel listing) against listing the twenty repositories' worktrees one
//   after another: the ratio sequential / parallel (above 1: the parallel load is faster);
// - one immediate save with 1,000 sessions on the main thread (snapshot and hand-over to the
//   store) against encoding the same state, the work the hand-over keeps off the main thread.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "OrvexCore/Persistence/SessionStore.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace fs = std::filesystem;
namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace OrvexCore;

namespace {

constexpr int workspaceCount = 20;
constexpr int worktreesPerWorkspace = 5;
constexpr int sessionCount = 1000;

std::string runGit(const std::string& directory, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"git", "-C", directory});
    auto result = Platform::runToCompletion("/usr/bin/env", arguments);
    if (result.status != 0) {
        throw std::runtime_error("git failed: " + result.error);
    }
    return result.output;
}

void writeText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

/// CPU time used by the calling thread: on a machine shared with other work, wall-clock gaps
/// include time the scheduler gave to other processes; this is what the main thread itself
/// spent.
double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

/// A store that hands back one state and drops what it is given.
class MemoryStore : public SessionStore {
public:
    explicit MemoryStore(PersistedState state) : state_(std::move(state)) {}
    PersistedState load() override { return state_; }
    void save(PersistedState) override {}

private:
    PersistedState state_;
};

/// Twenty repositories, five linked worktrees each, and a stored state whose 1,000 sessions
/// match them exactly (100 worktree sessions, the rest in the main checkouts), so that a load
/// lists everything and changes nothing.
struct Fixture {
    Fixture() {
        root = fs::temp_directory_path() /
               fs::path("orvex-appstate-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        root = fs::canonical(root);
        sessionsRoot = (root / "sessions").string();
        for (int w = 0; w < workspaceCount; ++w) {
            std::string repo = (root / ("repo-" + std::to_string(w))).string();
            fs::create_directories(repo);
            runGit(repo, {"init", "-q", "-b", "main"});
            runGit(repo, {"config", "user.name", "Bench"});
            runGit(repo, {"config", "user.email", "bench@orvex.invalid"});
            for (int f = 0; f < 20; ++f) {
                writeText(repo + "/src/file" + std::to_string(f) + ".txt",
                          std::string(2000, 'a' + f % 26) + "\n");
            }
            runGit(repo, {"add", "-A"});
            runGit(repo, {"commit", "-q", "-m", "initial"});
            Workspace workspace;
            workspace.repoPath = repo;
            workspace.displayName = Paths::lastComponent(repo);
            state.workspaces.push_back(workspace);
            for (int t = 0; t < worktreesPerWorkspace; ++t) {
                std::string name = "w" + std::to_string(w) + "-t" + std::to_string(t);
                std::string path = Paths::appendingComponent(sessionsRoot, name);
                runGit(repo, {"worktree", "add", "-q", "-b", name, path});
                state.sessions.push_back(makeSession(workspace.id, path, name, true));
            }
        }
        for (int s = static_cast<int>(state.sessions.size()); s < sessionCount; ++s) {
            const Workspace& workspace = state.workspaces[s % workspaceCount];
            state.sessions.push_back(
                makeSession(workspace.id, workspace.repoPath, "main-" + std::to_string(s), false));
        }
        state.lastSelectedWorkspaceID = state.workspaces.front().id;
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static Session makeSession(const UUID& workspaceID, const std::string& path,
                               const std::string& name, bool isWorktree) {
        Session session;
        session.workspaceID = workspaceID;
        session.slug = name;
        session.worktreePath = path;
        session.branch = isWorktree ? name : "main";
        session.title = "Session " + name;
        session.isWorktree = isWorktree;
        session.baseCommit = std::string(40, 'c');
        session.gridRows = 2;
        session.gridCols = 2;
        session.gridTitles = std::vector<std::string>{"shell", "agent", "tests", "logs"};
        for (int r = 0; r < 5; ++r) {
            session.reviewedFiles["src/file" + std::to_string(r) + ".txt"] = "89c4307b54596b7";
        }
        return session;
    }

    std::shared_ptr<AppState> makeState(asio::io_context& context, bool helperEnabled) {
        auto appState = std::make_shared<AppState>(
            context.get_executor(), std::make_shared<GitCLIService>(),
            std::make_shared<MemoryStore>(state), SlugGenerator::standard(), sessionsRoot,
            DiffHelperClient::create(ORVEX_HELPER_PATH));
        appState->diffHelperEnabled().set(helperEnabled);
        return appState;
    }

    fs::path root;
    std::string sessionsRoot;
    PersistedState state;
};

Fixture& fixture() {
    static Fixture shared;
    return shared;
}

/// Beats every millisecond on the main executor until stopped and keeps the longest gap.
struct Heartbeat {
    explicit Heartbeat(asio::io_context& context) : timer(context) {}

    asio::awaitable<void> beat() {
        last = Clock::now();
        while (running) {
            timer.expires_after(std::chrono::milliseconds(1));
            boost::system::error_code ignored;
            co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            auto now = Clock::now();
            longest = std::max(longest, now - last);
            last = now;
        }
    }
    /// The longest gap since the last call, which starts a new measurement.
    double takeLongestMs() {
        double result = milliseconds(longest);
        longest = {};
        last = Clock::now();
        return result;
    }

    asio::steady_timer timer;
    bool running = true;
    Clock::time_point last;
    Clock::duration longest{};
};

template <class T> T runOn(asio::io_context& context, asio::awaitable<T> task) {
    std::optional<T> result;
    std::exception_ptr failure;
    bool done = false;
    asio::co_spawn(context, std::move(task), [&](std::exception_ptr e, T value) {
        failure = e;
        if (!e) {
            result.emplace(std::move(value));
        }
        done = true;
    });
    while (!done && context.run_one() > 0) {
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

void runOn(asio::io_context& context, asio::awaitable<void> task) {
    std::exception_ptr failure;
    bool done = false;
    asio::co_spawn(context, std::move(task), [&](std::exception_ptr e) {
        failure = e;
        done = true;
    });
    while (!done && context.run_one() > 0) {
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void BM_MainThreadHeartbeatDuringGitWork(benchmark::State& benchState) {
    auto& shared = fixture();
    const bool helper = benchState.range(0) != 0;
    double idleGap = 0, loadGap = 0, addGap = 0, deleteGap = 0, diffGap = 0, loadCpu = 0;
    int round = 0;
    for (auto _ : benchState) {
        asio::io_context context;
        Heartbeat heartbeat(context);
        asio::co_spawn(context, heartbeat.beat(), asio::detached);
        auto appState = shared.makeState(context, helper);
        if (helper) {
            runOn(context, appState->ensureDiffHelperRunning());
        }
        // The same heartbeat with nothing else running: what the machine's scheduling alone
        // costs, to read the other gaps against.
        heartbeat.takeLongestMs();
        context.run_for(std::chrono::milliseconds(300));
        idleGap = std::max(idleGap, heartbeat.takeLongestMs());

        double cpuBefore = threadCpuMs();
        runOn(context, appState->loadPersisted());
        loadCpu = std::max(loadCpu, threadCpuMs() - cpuBefore);
        loadGap = std::max(loadGap, heartbeat.takeLongestMs());
        UUID workspaceID = appState->workspaces()->front().id;
        auto session = runOn(context, appState->addBranch(workspaceID, std::nullopt,
                                                          "bench-" + std::to_string(round++), true,
                                                          1, 1, std::nullopt));
        addGap = std::max(addGap, heartbeat.takeLongestMs());
        writeText(session.worktreePath + "/src/file1.txt", "changed\n");
        auto files = runOn(context, appState->diff(session));
        benchmark::DoNotOptimize(files);
        diffGap = std::max(diffGap, heartbeat.takeLongestMs());
        runOn(context, appState->deleteSession(session, true));
        deleteGap = std::max(deleteGap, heartbeat.takeLongestMs());

        if (helper) {
            runOn(context, appState->shutdownDiffHelper());
        }
        heartbeat.running = false;
        context.run_for(std::chrono::milliseconds(5));
    }
    benchState.counters["idleGapMs"] = idleGap;
    benchState.counters["loadGapMs"] = loadGap;
    // All main-thread work of the load, heartbeats included: a bound on any one stall.
    benchState.counters["loadMainCpuMs"] = loadCpu;
    benchState.counters["addBranchGapMs"] = addGap;
    benchState.counters["diffGapMs"] = diffGap;
    benchState.counters["deleteGapMs"] = deleteGap;
    benchState.counters["worstGapPerTarget10ms"] =
        std::max({loadGap, addGap, diffGap, deleteGap}) / 10.0;
}
BENCHMARK(BM_MainThreadHeartbeatDuringGitWork)
    ->ArgName("helper")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_ParallelLoadVersusSequentialListing(benchmark::State& benchState) {
    auto& shared = fixture();
    GitCLIService git;
    Clock::duration parallel{}, sequential{};
    for (auto _ : benchState) {
        asio::io_context context;
        auto appState = shared.makeState(context, false);
        auto start = Clock::now();
        runOn(context, appState->loadPersisted());
        parallel += Clock::now() - start;

        start = Clock::now();
        for (const auto& workspace : shared.state.workspaces) {
            benchmark::DoNotOptimize(git.listWorktrees(workspace.repoPath));
        }
        sequential += Clock::now() - start;
    }
    const double iterations = static_cast<double>(benchState.iterations());
    benchState.counters["parallelLoadMs"] = milliseconds(parallel) / iterations;
    benchState.counters["sequentialListMs"] = milliseconds(sequential) / iterations;
    benchState.counters["sequentialPerParallel"] =
        milliseconds(sequential) / milliseconds(parallel);
}
BENCHMARK(BM_ParallelLoadVersusSequentialListing)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ImmediateSaveOnTheMainThread(benchmark::State& benchState) {
    auto& shared = fixture();
    fs::path storeFile = shared.root / "store" / "store.json";
    {
        JSONSessionStore seeded(storeFile);
        seeded.save(shared.state);
        seeded.flush();
    }
    asio::io_context context;
    auto saving = std::make_shared<AppState>(
        context.get_executor(), std::make_shared<GitCLIService>(),
        std::make_shared<JSONSessionStore>(storeFile), SlugGenerator::standard(),
        shared.sessionsRoot, DiffHelperClient::create(ORVEX_HELPER_PATH));
    runOn(context, saving->loadPersisted());
    const UUID target = saving->sessions()->back().id;

    Clock::duration saveTime{}, encodeTime{};
    double saveCpu = 0;
    int flip = 0;
    for (auto _ : benchState) {
        // renameSession changes one session and saves at once: snapshot plus hand-over.
        auto start = Clock::now();
        double cpuBefore = threadCpuMs();
        saving->renameSession(target, (flip++ % 2) ? "a" : "b");
        saveCpu += threadCpuMs() - cpuBefore;
        saveTime += Clock::now() - start;

        start = Clock::now();
        benchmark::DoNotOptimize(encodePersistedState(shared.state));
        encodeTime += Clock::now() - start;
    }
    saving->flushPersist();
    const double iterations = static_cast<double>(benchState.iterations());
    benchState.counters["immediateSaveUs"] =
        std::chrono::duration<double, std::micro>(saveTime).count() / iterations;
    benchState.counters["encodeUs"] =
        std::chrono::duration<double, std::micro>(encodeTime).count() / iterations;
    benchState.counters["savePerEncode"] = std::chrono::duration<double>(saveTime).count() /
                                           std::chrono::duration<double>(encodeTime).count();
    benchState.counters["immediateSaveCpuUs"] = saveCpu * 1e3 / iterations;
    benchState.counters["savePerTarget1ms"] =
        std::chrono::duration<double, std::milli>(saveTime).count() / iterations;
}
BENCHMARK(BM_ImmediateSaveOnTheMainThread)->Iterations(200)->Unit(benchmark::kMicrosecond);

} // namespace
