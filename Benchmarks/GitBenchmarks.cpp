// GitCLIService against git itself: the service should cost no more than the git command it
// runs. Each iteration runs both, one after the other, so that both see the same machine
// load; the counters give the mean of each and their ratio.

#include <chrono>
#include <map>

#include <benchmark/benchmark.h>

#include "BenchFixtures.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Platform/Process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Service, typename Direct>
void sideBySide(benchmark::State& state, Service&& service, Direct&& direct) {
    double serviceSeconds = 0;
    double directSeconds = 0;
    bool directFirst = true;
    for (auto _ : state) {
        // Alternating which one goes first keeps a warm cache from favouring either.
        auto timeDirect = [&] {
            auto start = Clock::now();
            benchmark::DoNotOptimize(direct());
            directSeconds += secondsSince(start);
        };
        if (directFirst) {
            timeDirect();
        }
        auto start = Clock::now();
        benchmark::DoNotOptimize(service());
        double serviceElapsed = secondsSince(start);
        if (!directFirst) {
            timeDirect();
        }
        directFirst = !directFirst;
        serviceSeconds += serviceElapsed;
        state.SetIterationTime(serviceElapsed);
    }
    auto n = static_cast<double>(state.iterations());
    state.counters["git_ms"] = directSeconds / n * 1000;
    state.counters["service_ms"] = serviceSeconds / n * 1000;
    state.counters["added_ms"] = (serviceSeconds - directSeconds) / n * 1000;
    state.counters["ratio"] = serviceSeconds / directSeconds;
}

/// `GitCLIService::diff` vs `git diff --numstat` run directly, on `state.range(0)` changed files.
void BM_DiffVsGitNumstat(benchmark::State& state) {
    const auto& repo = OrvexBench::repoWithChangedFiles(static_cast<int>(state.range(0)));
    OrvexCore::GitCLIService git;
    if (git.diff(repo.path, repo.base).size() != repo.changedFiles.size()) {
        state.SkipWithError("the fixture's changes are not all listed");
        return;
    }
    const std::vector<std::string> arguments{
        "git",  "-C",           repo.path, "-c",       "core.quotePath=false",
        "diff", "--no-renames", repo.base, "--numstat"};
    sideBySide(
        state, [&] { return git.diff(repo.path, repo.base); },
        [&] { return OrvexCore::Platform::runToCompletion("/usr/bin/env", arguments); });
}
BENCHMARK(BM_DiffVsGitNumstat)
    ->Arg(5000)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffVsGitNumstat)->Arg(3)->UseManualTime()->Unit(benchmark::kMillisecond);

/// `GitCLIService::filePatch` vs `git diff` of the same file run directly.
void BM_FilePatchVsGitDiff(benchmark::State& state) {
    const auto& repo = OrvexBench::repoWithOneLargeChange(static_cast<size_t>(state.range(0)));
    OrvexCore::GitCLIService git;
    const std::vector<std::string> arguments{
        "git", "-C",      repo.path, "-c",       "core.quotePath=false", "diff", "--no-renames",
        "-U3", repo.base, "--",      "large.txt"};
    sideBySide(
        state, [&] { return git.filePatch(repo.path, "large.txt", repo.base); },
        [&] { return OrvexCore::Platform::runToCompletion("/usr/bin/env", arguments); });
}
BENCHMARK(BM_FilePatchVsGitDiff)->Arg(400 * 1024)->UseManualTime()->Unit(benchmark::kMillisecond);

/// A repository with `count` unstaged changed files that keep their size ("two" becomes
/// "TWO"), so that git must read each file to tell that it changed. Built once per `count`.
const OrvexBench::FixtureRepo& repoWithSameSizeChanges(int count) {
    static std::map<int, OrvexBench::FixtureRepo> built;
    if (auto found = built.find(count); found != built.end()) {
        return found->second;
    }
    namespace detail = OrvexBench::detail;
    OrvexBench::FixtureRepo fixture;
    fixture.path = detail::newRepo();
    for (int i = 0; i < count; ++i) {
        fixture.changedFiles.push_back("d" + std::to_string(i % 100) + "/f" + std::to_string(i) +
                                       ".txt");
        detail::writeFile(fixture.path + "/" + fixture.changedFiles.back(),
                          "one\ntwo\nthree " + std::to_string(i) + "\n");
    }
    fixture.base = detail::commitAll(fixture.path);
    for (int i = 0; i < count; ++i) {
        detail::writeFile(fixture.path + "/" + fixture.changedFiles[i],
                          "one\nTWO\nthree " + std::to_string(i) + "\n");
    }
    return built.emplace(count, std::move(fixture)).first->second;
}

/// The listing through a refreshed copy of the index (the road `diff` takes when git runs out
/// of memory maps, past about 65,000 such files) against `git diff --numstat` run directly:
/// what that road would cost if it were always taken.
void BM_TemporaryIndexListVsGitNumstat(benchmark::State& state) {
    const auto& repo = repoWithSameSizeChanges(static_cast<int>(state.range(0)));
    OrvexCore::GitCLIService git;
    if (git.changedFilesThroughTemporaryIndex(repo.path, repo.base).size() !=
        repo.changedFiles.size()) {
        state.SkipWithError("the fixture's changes are not all listed");
        return;
    }
    const std::vector<std::string> arguments{
        "git",  "-C",           repo.path, "-c",       "core.quotePath=false",
        "diff", "--no-renames", repo.base, "--numstat"};
    sideBySide(
        state, [&] { return git.changedFilesThroughTemporaryIndex(repo.path, repo.base).size(); },
        [&] { return OrvexCore::Platform::runToCompletion("/usr/bin/env", arguments); });
}
BENCHMARK(BM_TemporaryIndexListVsGitNumstat)
    ->Arg(10000)
    ->Arg(50000)
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

/// `GitCLIService::diff` (the ordinary road) against `git diff --numstat` on the same fixture.
void BM_DiffOfSameSizeChangesVsGitNumstat(benchmark::State& state) {
    const auto& repo = repoWithSameSizeChanges(static_cast<int>(state.range(0)));
    OrvexCore::GitCLIService git;
    const std::vector<std::string> arguments{
        "git",  "-C",           repo.path, "-c",       "core.quotePath=false",
        "diff", "--no-renames", repo.base, "--numstat"};
    sideBySide(
        state, [&] { return git.diff(repo.path, repo.base).size(); },
        [&] { return OrvexCore::Platform::runToCompletion("/usr/bin/env", arguments); });
}
BENCHMARK(BM_DiffOfSameSizeChangesVsGitNumstat)
    ->Arg(10000)
    ->Arg(50000)
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
