// Whole-process timings of the orvex binary against the plain git commands that do the same
// core work, run side by side so that the printed ratio compares like with like.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include <stdlib.h>

#include "OrvexCore/Platform/Process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using OrvexCore::Platform::runToCompletion;

std::string orvex() {
    return std::string(ORVEX_BIN_DIR) + "/orvex";
}

std::string git(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"git", "-C", dir});
    auto result = runToCompletion("/usr/bin/env", args);
    if (result.status != 0) {
        throw std::runtime_error("git failed: " + result.error);
    }
    return result.output;
}

void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

/// A repository on "main" with one commit, at `path`.
void makeRepo(const std::string& path) {
    std::filesystem::create_directories(path);
    git(path, {"init", "-q", "-b", "main"});
    git(path, {"config", "user.name", "Bench"});
    git(path, {"config", "user.email", "bench@orvex.invalid"});
    writeFile(path + "/README.md", "# bench\n");
    git(path, {"add", "."});
    git(path, {"commit", "-q", "-m", "initial"});
}

/// A throwaway home for orvex: the variables point into a temporary folder while the object
/// lives (children inherit them), and are put back afterwards.
class ScratchHome {
public:
    ScratchHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvex-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = std::filesystem::canonical(pattern).string();
        home_ = dir_ + "/home";
        std::filesystem::create_directories(home_);
        for (const char* name :
             {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "NO_COLOR"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_DATA_HOME", (home_ + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
        setenv("NO_COLOR", "1", 1);
    }
    ~ScratchHome() {
        // The scratch home's server goes with it (and waits for its terminals to end).
        runToCompletion(std::string(ORVEX_BIN_DIR) + "/orvex", {"server", "stop"}, false);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    const std::string& home() const { return home_; }
    std::string operator/(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    std::string home_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

/// Runs a program to its end and returns the wall time in seconds; a failure stops the
/// benchmark with git's or orvex's message.
double timed(benchmark::State& state, const std::string& program,
             const std::vector<std::string>& args) {
    auto start = Clock::now();
    auto result = runToCompletion(program, args, false);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result.status != 0) {
        state.SkipWithError((program + " failed").c_str());
    }
    return seconds;
}

void run(const std::vector<std::string>& args) {
    auto result = runToCompletion(orvex(), args);
    if (result.status != 0) {
        throw std::runtime_error("orvex failed: " + result.error);
    }
}

/// `orvex ls` over 10 workspaces of 10 sessions each (its start-up lists every workspace's
/// worktrees through git, in parallel) against `git worktree list` run once per workspace in a
/// shell loop. Target: ratio at most 1.5.
void BM_LsAgainstWorktreeListLoop(benchmark::State& state) {
    ScratchHome home;
    std::string loop = "for d in";
    for (int w = 0; w < 10; ++w) {
        std::string repo = home / ("repo" + std::to_string(w));
        makeRepo(repo);
        for (int s = 0; s < 10; ++s) {
            std::string name = "w" + std::to_string(w) + "-s" + std::to_string(s);
            git(repo, {"worktree", "add", "-q", "-b", name, home / ("trees/" + name)});
        }
        run({"open", repo});
        loop += " '" + repo + "'";
    }
    loop += "; do git -C \"$d\" worktree list >/dev/null || exit 1; done";

    double orvexTotal = 0;
    double gitTotal = 0;
    for (auto _ : state) {
        orvexTotal += timed(state, orvex(), {"ls"});
        gitTotal += timed(state, "/bin/sh", {"-c", loop});
    }
    state.counters["orvex_ms"] = orvexTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["git_loop_ms"] = gitTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio"] = orvexTotal / gitTotal;
}
BENCHMARK(BM_LsAgainstWorktreeListLoop)->Unit(benchmark::kMillisecond)->Iterations(20);

/// `orvex ls` over 10 workspaces of 10 sessions each through a running server (which already
/// holds the state: no store is read and no git runs) against one `git worktree list` of one
/// of the repositories, alternating. Target: ratio at most 1.5.
void BM_LsThroughServerAgainstOneWorktreeList(benchmark::State& state) {
    ScratchHome home;
    std::string first;
    for (int w = 0; w < 10; ++w) {
        std::string repo = home / ("repo" + std::to_string(w));
        makeRepo(repo);
        for (int s = 0; s < 10; ++s) {
            std::string name = "w" + std::to_string(w) + "-s" + std::to_string(s);
            git(repo, {"worktree", "add", "-q", "-b", name, home / ("trees/" + name)});
        }
        run({"open", repo});
        first = first.empty() ? repo : first;
    }
    run({"ls"});
    double orvexTotal = 0;
    double gitTotal = 0;
    for (auto _ : state) {
        orvexTotal += timed(state, orvex(), {"ls"});
        gitTotal += timed(state, "/usr/bin/env", {"git", "-C", first, "worktree", "list"});
    }
    state.counters["orvex_ms"] = orvexTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["git_ms"] = gitTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio"] = orvexTotal / gitTotal;
}
BENCHMARK(BM_LsThroughServerAgainstOneWorktreeList)->Unit(benchmark::kMillisecond)->Iterations(30);

/// `orvex diff` of a session with 5,000 changed files (through the helper pool) against
/// `git diff --numstat` on its worktree. Target: ratio at most 1.3.
void BM_DiffAgainstNumstat(benchmark::State& state) {
    ScratchHome home;
    std::string repo = home / "big";
    makeRepo(repo);
    for (int i = 0; i < 5000; ++i) {
        writeFile(repo + "/src/d" + std::to_string(i % 50) + "/f" + std::to_string(i) + ".txt",
                  "one\ntwo\nthree\n");
    }
    git(repo, {"add", "."});
    git(repo, {"commit", "-q", "-m", "5000 files"});
    std::string base = git(repo, {"rev-parse", "HEAD"});
    base.pop_back();
    run({"open", repo});
    run({"new", "-b", "wide"});
    std::string tree = home.home() + "/.orvex-sessions/wide";
    for (int i = 0; i < 5000; ++i) {
        writeFile(tree + "/src/d" + std::to_string(i % 50) + "/f" + std::to_string(i) + ".txt",
                  "one\n2\nthree\nfour\n");
    }

    double orvexTotal = 0;
    double gitTotal = 0;
    for (auto _ : state) {
        orvexTotal += timed(state, orvex(), {"diff", "wide"});
        gitTotal += timed(state, "/usr/bin/env",
                          {"git", "-C", tree, "diff", "--no-renames", base, "--numstat"});
    }
    state.counters["orvex_ms"] = orvexTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["numstat_ms"] = gitTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio"] = orvexTotal / gitTotal;
}
BENCHMARK(BM_DiffAgainstNumstat)->Unit(benchmark::kMillisecond)->Iterations(10);

/// Starts `program` with its output on a pipe that is not read until the program has sat
/// blocked on it (or ended), and returns the program's own peak resident memory in kB
/// (VmHWM), read from /proc meanwhile. The kernel's account of a reaped child would also take
/// in its children (git, the diff helpers), which are measured on their own elsewhere.
long ownPeakKilobytes(const std::string& program, const std::vector<std::string>& args) {
    auto child = OrvexCore::Platform::ChildProcess::spawn(
        program, args,
        OrvexCore::Platform::SpawnOptions{OrvexCore::Platform::Stdio::null,
                                          OrvexCore::Platform::Stdio::pipe,
                                          OrvexCore::Platform::Stdio::null,
                                          {},
                                          {}});
    auto peakNow = [&]() -> long {
        std::ifstream status("/proc/" + std::to_string(child.pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::atol(line.c_str() + 6);
            }
        }
        return -1;
    };
    long peak = 0;
    auto lastChange = Clock::now();
    // Output is held back until the peak has not moved for a second: by then the program is
    // blocked writing its answer, which it builds whole before printing.
    while (Clock::now() - lastChange < std::chrono::seconds(1) && child.isRunning()) {
        long now = peakNow();
        if (now > peak) {
            peak = now;
            lastChange = Clock::now();
        }
        ::usleep(2000);
    }
    char buffer[65536];
    while (::read(child.outputFd(), buffer, sizeof buffer) > 0) {
        peak = std::max(peak, peakNow());
    }
    if (child.wait() != 0) {
        throw std::runtime_error(program + " failed");
    }
    return peak;
}

/// A session with `count` changed files that git must read to tell them changed: each file
/// keeps its size ("two" becomes "TWO"), as a mass edit of a word across a tree does.
struct WideSession {
    explicit WideSession(int count) {
        std::string repo = home / "big";
        makeRepo(repo);
        auto name = [](int i) {
            return "/src/d" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".txt";
        };
        for (int i = 0; i < count; ++i) {
            writeFile(repo + name(i), "one\ntwo\nthree " + std::to_string(i) + "\n");
        }
        git(repo, {"add", "."});
        git(repo, {"commit", "-q", "-m", "files"});
        base = git(repo, {"rev-parse", "HEAD"});
        base.pop_back();
        run({"open", repo});
        run({"new", "-b", "wide"});
        tree = home.home() + "/.orvex-sessions/wide";
        for (int i = 0; i < count; ++i) {
            writeFile(tree + name(i), "one\nTWO\nthree " + std::to_string(i) + "\n");
        }
    }

    ScratchHome home;
    std::string base;
    std::string tree;
};

/// `orvex diff` and `orvex ls --changes` on a session of `state.range(0)` unstaged changed
/// files: their own peak memory against the size of git's numstat text for the same changes
/// (target: at most 3 times, plus a fixed few MB), and `orvex diff`'s time against
/// `git diff --numstat` (target: at most 1.5 on 50,000; at 100,000 git itself may fail).
void BM_DiffOfManyUnstagedFiles(benchmark::State& state) {
    WideSession session(static_cast<int>(state.range(0)));
    // Without the check that keeps every read file mapped, git lists the same files here (the
    // fixture has no file whose stat data alone changed) at any size.
    std::string numstat = git(session.tree, {"-c", "diff.autoRefreshIndex=false", "diff",
                                             "--no-renames", session.base, "--numstat"});
    const std::vector<std::string> gitArgs{"git",          "-C",         session.tree, "diff",
                                           "--no-renames", session.base, "--numstat"};
    bool gitWorks = runToCompletion("/usr/bin/env", gitArgs, false).status == 0;
    double orvexTotal = 0;
    double gitTotal = 0;
    bool gitFirst = true;
    for (auto _ : state) {
        if (gitWorks && gitFirst) {
            gitTotal += timed(state, "/usr/bin/env", gitArgs);
        }
        double seconds = timed(state, orvex(), {"diff", "wide"});
        orvexTotal += seconds;
        state.SetIterationTime(seconds);
        if (gitWorks && !gitFirst) {
            gitTotal += timed(state, "/usr/bin/env", gitArgs);
        }
        gitFirst = !gitFirst;
    }
    double n = static_cast<double>(state.iterations());
    double numstatKB = static_cast<double>(numstat.size()) / 1024;
    state.counters["numstat_kB"] = numstatKB;
    state.counters["orvex_ms"] = orvexTotal * 1000 / n;
    state.counters["git_works"] = gitWorks ? 1 : 0;
    if (gitWorks) {
        state.counters["numstat_ms"] = gitTotal * 1000 / n;
        state.counters["ratio"] = orvexTotal / gitTotal;
    }
    long diffPeak = ownPeakKilobytes(orvex(), {"diff", "wide"});
    long lsPeak = ownPeakKilobytes(orvex(), {"ls", "--changes"});
    long idlePeak = ownPeakKilobytes(orvex(), {"ls"});
    state.counters["diff_peak_kB"] = static_cast<double>(diffPeak);
    state.counters["ls_changes_peak_kB"] = static_cast<double>(lsPeak);
    state.counters["ls_peak_kB"] = static_cast<double>(idlePeak);
    state.counters["diff_above_ls/numstat"] = static_cast<double>(diffPeak - idlePeak) / numstatKB;
    state.counters["ls_changes_above_ls/numstat"] =
        static_cast<double>(lsPeak - idlePeak) / numstatKB;
}
BENCHMARK(BM_DiffOfManyUnstagedFiles)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

/// CPU time the process has run, in nanoseconds (scheduler accounting, not clock ticks), and
/// how often it went to sleep of its own accord (each wake-up of a polling loop counts).
struct CpuSample {
    double nanoseconds = 0;
    double wakeups = 0;
};

CpuSample cpuOf(int pid) {
    CpuSample sample;
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    schedstat >> sample.nanoseconds;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("voluntary_ctxt_switches:")) {
            sample.wakeups = std::stod(line.substr(line.find(':') + 1));
        }
    }
    return sample;
}

int serverPID(const ScratchHome& home) {
    std::ifstream lock(home / "run/orvex/server.lock");
    int pid = -1;
    lock >> pid;
    return pid;
}

/// Whether every terminal of the session runs and is idle (its shell at the prompt).
bool allIdle(const std::string& slug, std::size_t terminals) {
    auto result = runToCompletion(orvex(), {"ls", "--json"});
    auto doc = nlohmann::json::parse(result.output, nullptr, false);
    if (!doc.is_object()) {
        return false;
    }
    for (const auto& w : doc["workspaces"]) {
        for (const auto& s : w["sessions"]) {
            if (s["slug"] != slug || !s.contains("terminals") ||
                s["terminals"].size() != terminals) {
                continue;
            }
            return std::all_of(s["terminals"].begin(), s["terminals"].end(),
                               [](const auto& t) { return t["status"] == "idle"; });
        }
    }
    return false;
}

/// The server's CPU over 10 s with 20 idle shells (each with its activity detector) against
/// the same server with no terminals, measured in turns. Target: 0 % CPU, under 1 ms of CPU
/// per idle terminal per minute.
void BM_ServerIdleWithTwentyTerminals(benchmark::State& state) {
    constexpr std::size_t terminals = 20;
    constexpr auto window = std::chrono::seconds(10);
    ScratchHome home;
    std::string repo = home / "repo";
    makeRepo(repo);
    run({"open", repo});
    run({"new", "-b", "idle", "--rows", "4", "--cols", "5"});
    const int pid = serverPID(home);
    double withTerminals = 0, withTerminalsWakeups = 0, without = 0, withoutWakeups = 0;
    for (auto _ : state) {
        run({"start", "idle"});
        while (!allIdle("idle", terminals)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        // The last evaluation may still have a timer out: let it pass before counting.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        auto before = cpuOf(pid);
        std::this_thread::sleep_for(window);
        auto after = cpuOf(pid);
        withTerminals += after.nanoseconds - before.nanoseconds;
        withTerminalsWakeups += after.wakeups - before.wakeups;

        run({"stop", "idle"});
        std::this_thread::sleep_for(std::chrono::seconds(2));
        before = cpuOf(pid);
        std::this_thread::sleep_for(window);
        after = cpuOf(pid);
        without += after.nanoseconds - before.nanoseconds;
        withoutWakeups += after.wakeups - before.wakeups;
    }
    const double n = static_cast<double>(state.iterations());
    const double seconds = std::chrono::duration<double>(window).count();
    state.counters["twenty_cpu_ms"] = withTerminals / 1e6 / n;
    state.counters["none_cpu_ms"] = without / 1e6 / n;
    state.counters["twenty_cpu_percent"] = withTerminals / 1e9 / n / seconds * 100;
    state.counters["twenty_wakeups"] = withTerminalsWakeups / n;
    state.counters["none_wakeups"] = withoutWakeups / n;
    state.counters["ms_per_idle_terminal_minute"] =
        withTerminals / 1e6 / n / static_cast<double>(terminals) * (60.0 / seconds);
    state.counters["ratio"] = without > 0 ? withTerminals / without : 0;
}
BENCHMARK(BM_ServerIdleWithTwentyTerminals)->Unit(benchmark::kSecond)->Iterations(2);

} // namespace
