// Whole-process timings of the orvex binary against the plain git commands that do the same
// core work, run side by side so that the printed ratio compares like with like.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <fstream>
#include <stdexcept>

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

} // namespace
