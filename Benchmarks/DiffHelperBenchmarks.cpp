// The diff helper against git run directly: what the helper's process, JSON and pipe add to a
// list or a patch, and what the client's pool adds and gains. Each benchmark runs both sides in
// alternation within one run and reports their mean times and their ratio.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "BenchFixtures.hpp"
#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Diff/DiffHelperWorker.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Async.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace OrvexCore;

namespace {

std::string runGit(const std::string& directory, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"git", "-C", directory});
    auto result = Platform::runToCompletion("/usr/bin/env", arguments);
    if (result.status != 0) {
        throw std::runtime_error("git failed: " + result.error);
    }
    return result.output;
}

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

/// A repository in a temporary folder whose worktree differs from its base commit in
/// `changedFiles` files of a few lines each, or (with `largeFileLines`) in one large file; the
/// changes are staged.
class ScratchRepo {
public:
    ScratchRepo(int changedFiles, int largeFileLines) {
        std::string pattern = (fs::temp_directory_path() / "orvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = fs::canonical(pattern).string();
        runGit(path_, {"init", "-q", "-b", "main"});
        runGit(path_, {"config", "user.name", "Bench"});
        runGit(path_, {"config", "user.email", "bench@orvex.invalid"});
        for (int i = 0; i < changedFiles; ++i) {
            writeText(fileName(i), fmt::format("line one {}\nline two\nline three\n", i));
        }
        std::string large;
        for (int i = 0; i < largeFileLines; ++i) {
            large += fmt::format("original line {} of the large file\n", i);
        }
        writeText(fs::path(path_) / "large.txt", large);
        runGit(path_, {"add", "-A"});
        runGit(path_, {"commit", "-q", "-m", "base"});
        base_ = runGit(path_, {"rev-parse", "HEAD"});
        base_.pop_back();
        for (int i = 0; i < changedFiles; ++i) {
            writeText(fileName(i), fmt::format("line one {}\nline 2\nline three\nadded\n", i));
        }
        large.clear();
        for (int i = 0; i < largeFileLines; ++i) {
            large += fmt::format("changed line {} of the large file\n", i);
        }
        writeText(fs::path(path_) / "large.txt", large);
        // Staged, so that each diff compares contents rather than re-reading and hashing every
        // changed file (git does that for unstaged changes with several threads, which would
        // make the benchmark measure the disk and git's own parallelism).
        runGit(path_, {"add", "-A"});
    }
    ~ScratchRepo() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }

    const std::string& path() const { return path_; }
    const std::string& base() const { return base_; }

private:
    fs::path fileName(int i) const {
        return fs::path(path_) / fmt::format("dir{:02}", i % 50) / fmt::format("file{:05}.txt", i);
    }

    std::string path_;
    std::string base_;
};

/// One repository per shape for the whole run: making 5,000 files takes a while.
const ScratchRepo& sharedRepo(int changedFiles, int largeFileLines) {
    static std::map<std::pair<int, int>, std::unique_ptr<ScratchRepo>> repos;
    auto& repo = repos[{changedFiles, largeFileLines}];
    if (!repo) {
        repo = std::make_unique<ScratchRepo>(changedFiles, largeFileLines);
    }
    return *repo;
}

/// The helper program on pipes, one request at a time, read as the client's pool reads it.
class Helper {
public:
    Helper() : worker_(ORVEX_HELPER_PATH) {}

    std::string roundTrip(const std::string& line) { return worker_.roundTrip(line); }

    pid_t pid() const { return worker_.pid(); }

    /// Peak resident memory of the helper so far, in kB (VmHWM).
    long peakResidentKilobytes() const {
        std::ifstream status(fmt::format("/proc/{}/status", worker_.pid()));
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::atol(line.c_str() + 6);
            }
        }
        return -1;
    }

private:
    DiffHelperWorker worker_;
};

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Times `direct` and `throughHelper` in alternation; the reported time is the helper's.
template <class Direct, class ThroughHelper>
void compare(benchmark::State& state, Direct direct, ThroughHelper throughHelper) {
    double directMs = 0, helperMs = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(direct());
        directMs += millisecondsSince(start);
        start = Clock::now();
        benchmark::DoNotOptimize(throughHelper());
        double elapsed = millisecondsSince(start);
        helperMs += elapsed;
        state.SetIterationTime(elapsed / 1000);
    }
    double n = static_cast<double>(state.iterations());
    state.counters["direct_ms"] = directMs / n;
    state.counters["helper_ms"] = helperMs / n;
    state.counters["overhead_ms"] = (helperMs - directMs) / n;
    state.counters["helper/direct"] = helperMs / directMs;
}

// A list request through a running helper against `git diff --numstat` run directly.
void BM_HelperListVsGitNumstat(benchmark::State& state) {
    const auto& repo = sharedRepo(static_cast<int>(state.range(0)), 0);
    Helper helper;
    std::string line =
        DiffHelperRequest{"list", DiffHelperOp::list, repo.path(), repo.base(), {}}.encodedLine();
    std::vector<std::string> numstat{
        "-c", "core.quotePath=false", "diff", "--no-renames", repo.base(), "--numstat"};
    helper.roundTrip(line); // the first request pays for the helper's start
    compare(
        state, [&] { return runGit(repo.path(), numstat); },
        [&] { return helper.roundTrip(line); });
    state.counters["files"] = static_cast<double>(
        DiffHelperCoding::decodeResponse(helper.roundTrip(line)).files.value().size());
    state.counters["helper_peak_rss_kB"] = static_cast<double>(helper.peakResidentKilobytes());
}
BENCHMARK(BM_HelperListVsGitNumstat)
    ->Arg(5000)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3);

// The patch of one large file (20,000 changed lines, about 1.3 MB before the size bound, so
// the helper sends the truncation notice) and of a 4,000-line one that crosses the pipe whole.
void BM_HelperPatchVsGitDiff(benchmark::State& state) {
    const auto& repo = sharedRepo(0, static_cast<int>(state.range(0)));
    Helper helper;
    std::string line =
        DiffHelperRequest{"patch", DiffHelperOp::patch, repo.path(), repo.base(), "large.txt"}
            .encodedLine();
    std::vector<std::string> diff{
        "-c",       "core.quotePath=false", "diff", "--no-renames", "-U3", repo.base(), "--",
        "large.txt"};
    helper.roundTrip(line);
    state.counters["patch_kB"] = static_cast<double>(runGit(repo.path(), diff).size()) / 1024;
    compare(
        state, [&] { return runGit(repo.path(), diff); }, [&] { return helper.roundTrip(line); });
}
BENCHMARK(BM_HelperPatchVsGitDiff)
    ->Arg(4000)
    ->Arg(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3);

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

/// Times `a` and `b` in alternation, each going first every other iteration so that neither
/// always meets a cache the other warmed; the reported time is `b`'s. Besides the ratio of
/// the means, the median of the pairs' ratios: on a shared machine a pair that another
/// program's burst slowed down moves the means far more than the median.
template <class A, class B>
void alternate(benchmark::State& state, const char* aName, A a, const char* bName, B b) {
    double aMs = 0, bMs = 0;
    std::vector<double> pairRatios;
    bool aFirst = true;
    for (auto _ : state) {
        double aElapsed = 0;
        auto timeA = [&] {
            auto start = Clock::now();
            benchmark::DoNotOptimize(a());
            aElapsed = millisecondsSince(start);
            aMs += aElapsed;
        };
        if (aFirst) {
            timeA();
        }
        auto start = Clock::now();
        benchmark::DoNotOptimize(b());
        double elapsed = millisecondsSince(start);
        bMs += elapsed;
        state.SetIterationTime(elapsed / 1000);
        if (!aFirst) {
            timeA();
        }
        pairRatios.push_back(elapsed / aElapsed);
        aFirst = !aFirst;
    }
    double n = static_cast<double>(state.iterations());
    state.counters[std::string(aName) + "_ms"] = aMs / n;
    state.counters[std::string(bName) + "_ms"] = bMs / n;
    state.counters["ratio"] = bMs / aMs;
    state.counters["median_ratio"] = median(std::move(pairRatios));
}

/// CPU time the process `pid` has used itself so far (not its children's), in ms.
double ownCpuMilliseconds(pid_t pid) {
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i == 14 || i == 15) { // utime, stime
            ticks += std::stod(field);
        }
    }
    return ticks * 1000 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The patch of one file of 337 KB (every tenth line changed, so the patch of about 370 KB
// crosses the pipe whole) through a running helper, against `git diff` of that file run
// directly. Target: ratio at most 1.05.
void BM_HelperPatchOf337KBFileVsGitDiff(benchmark::State& state) {
    const auto& repo = OrvexBench::repoWithOneLargeChange(337 * 1024);
    Helper helper;
    std::string line =
        DiffHelperRequest{"patch", DiffHelperOp::patch, repo.path, repo.base, "large.txt"}
            .encodedLine();
    std::vector<std::string> diff{
        "-c", "core.quotePath=false", "diff", "--no-renames", "-U3", repo.base, "--", "large.txt"};
    helper.roundTrip(line);
    state.counters["patch_kB"] = static_cast<double>(runGit(repo.path, diff).size()) / 1024;
    const double cpuBefore = ownCpuMilliseconds(helper.pid());
    alternate(
        state, "git", [&] { return runGit(repo.path, diff); }, "helper",
        [&] { return helper.roundTrip(line); });
    // What the helper itself spends on a request (reading it, starting git, reading git's
    // output, encoding and writing the answer): git's own time is not in it.
    state.counters["helper_cpu_ms"] =
        (ownCpuMilliseconds(helper.pid()) - cpuBefore) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HelperPatchOf337KBFileVsGitDiff)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(5);

/// A fresh helper's peak resident memory in kB (VmHWM) after answering `request`, read
/// while it still runs: the kernel's account of a reaped child (getrusage, wait4, time -v)
/// takes in its own children too, and git's numstat process is larger than the helper.
long helperPeakKilobytes(const std::string& request) {
    Helper helper;
    if (helper.roundTrip(request).find("\"ok\":true") == std::string::npos) {
        throw std::runtime_error("the helper failed");
    }
    return helper.peakResidentKilobytes();
}

// The helper's peak memory for one list request of `state.range(0)` changed files, above its
// peak for a list of one file, against the size of git's own numstat text for the same
// changes. Target: at most 3.
void BM_HelperListPeakMemory(benchmark::State& state) {
    const auto& repo = sharedRepo(static_cast<int>(state.range(0)), 0);
    const auto& small = sharedRepo(1, 0);
    auto listOf = [](const ScratchRepo& r) {
        return DiffHelperRequest{"list", DiffHelperOp::list, r.path(), r.base(), {}}.encodedLine();
    };
    double numstatBytes = static_cast<double>(
        runGit(repo.path(), {"diff", "--no-renames", repo.base(), "--numstat"}).size());
    long baseline = 0, peak = 0;
    for (auto _ : state) {
        baseline = std::max(baseline, helperPeakKilobytes(listOf(small)));
        peak = std::max(peak, helperPeakKilobytes(listOf(repo)));
    }
    state.counters["numstat_kB"] = numstatBytes / 1024;
    state.counters["baseline_kB"] = static_cast<double>(baseline);
    state.counters["list_peak_kB"] = static_cast<double>(peak);
    state.counters["above_baseline/numstat"] =
        static_cast<double>(peak - baseline) * 1024 / numstatBytes;
}
BENCHMARK(BM_HelperListPeakMemory)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(100000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

/// Runs one client operation to its end from the background pool.
template <class T> T await(boost::asio::awaitable<T> task) {
    return boost::asio::co_spawn(backgroundPool(), std::move(task), boost::asio::use_future).get();
}

// 100 list requests one at a time through the client against GitCLIService::diff called
// directly in this process (the road taken with the helper switched off).
void BM_ClientListVsDirectDiff(benchmark::State& state) {
    const auto& repo = sharedRepo(1000, 0);
    auto client = DiffHelperClient::create(ORVEX_HELPER_PATH);
    await(client->start());
    await(client->list(repo.path(), repo.base()));
    GitCLIService git;
    compare(
        state,
        [&] {
            for (int i = 0; i < 100; ++i) {
                benchmark::DoNotOptimize(git.diff(repo.path(), repo.base()));
            }
            return 0;
        },
        [&] {
            for (int i = 0; i < 100; ++i) {
                benchmark::DoNotOptimize(await(client->list(repo.path(), repo.base())));
            }
            return 0;
        });
    await(client->shutdown());
}
BENCHMARK(BM_ClientListVsDirectDiff)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(5);

// 100 list requests at once (the pool's three helpers share them) against the same 100 one at
// a time; reported as the throughput gained, one at a time / at once.
void BM_ClientConcurrentVsSequential(benchmark::State& state) {
    const auto& repo = sharedRepo(1000, 0);
    auto client = DiffHelperClient::create(ORVEX_HELPER_PATH);
    await(client->start());
    auto allAtOnce = [&] {
        std::vector<std::future<std::vector<FileDiff>>> requests;
        for (int i = 0; i < 100; ++i) {
            requests.push_back(boost::asio::co_spawn(
                backgroundPool(), client->list(repo.path(), repo.base()), boost::asio::use_future));
        }
        size_t files = 0;
        for (auto& request : requests) {
            files += request.get().size();
        }
        return files;
    };
    allAtOnce(); // all three helpers started
    double sequentialMs = 0, concurrentMs = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < 100; ++i) {
            benchmark::DoNotOptimize(await(client->list(repo.path(), repo.base())));
        }
        sequentialMs += millisecondsSince(start);
        start = Clock::now();
        benchmark::DoNotOptimize(allAtOnce());
        double elapsed = millisecondsSince(start);
        concurrentMs += elapsed;
        state.SetIterationTime(elapsed / 1000);
    }
    double n = static_cast<double>(state.iterations());
    state.counters["one_at_a_time_ms"] = sequentialMs / n;
    state.counters["at_once_ms"] = concurrentMs / n;
    state.counters["throughput_gain"] = sequentialMs / concurrentMs;
    state.counters["helpers"] = await(client->spawnedProcessCount());
    await(client->shutdown());
}
BENCHMARK(BM_ClientConcurrentVsSequential)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(5);

} // namespace
