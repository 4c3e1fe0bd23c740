// The activity detector's processor cost per terminal per minute.
//
// ActivityDetectorMinute/<state>: one simulated minute of a real bash terminal, driven as a
// terminal host drives it: each output chunk is ingested and the detector is evaluated at
// every moment its `nextCheck` names, with readings of the real /proc. The clock is simulated
// (a minute takes milliseconds), the processes and /proc are real. States:
//   0 idle: bash at its prompt; one prompt printed at the start of the minute.
//   1 needsInput: `cat` reading the terminal; the detector looks again once a second.
//   2 silentWork: `sleep` running without output; once a second as well.
//   3 streaming: a build printing 1 KiB every 50 ms for the whole minute.
// Timed side by side, alternating within each iteration, with the status monitor alone fed the
// same chunks and polled at the same moments (what every terminal already pays). Counters:
// detector_ms_per_min and monitor_ms_per_min (this thread's processor time, system time
// included), ratio_vs_monitor, probes_per_min. Target: under 1 ms per idle terminal-minute.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <time.h>

#include <boost/asio/io_context.hpp>

#include "OrvexCore/Status/StatusMonitor.hpp"
#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexPty/ActivityDetector.hpp"
#include "OrvexPty/PtyTerminalEngine.hpp"

using namespace OrvexCore;
using OrvexPty::ActivityDetector;
using OrvexPty::PtyTerminalEngine;

namespace {

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

ActivityDetector::Date after(ActivityDetector::Date from, double seconds) {
    return from + std::chrono::duration_cast<ActivityDetector::Clock::duration>(
                      std::chrono::duration<double>(seconds));
}

/// A real bash whose foreground is put in the wanted state before timing starts.
struct LiveTerminal {
    explicit LiveTerminal(const std::string& command) {
        PtyTerminalEngine::Options options;
        options.shell = "/bin/bash";
        options.shellArguments = {"--norc", "--noprofile"};
        options.terminateGraceSeconds = 0.2;
        engine = std::make_unique<PtyTerminalEngine>(io.get_executor(), options);
        handle = engine->makeTerminal("/", std::nullopt,
                                      {{"PATH", "/usr/bin:/bin"}, {"PS1", "$ "}, {"TERM", "dumb"}});
        process = *PtyTerminalEngine::processOf(*handle);
        if (!command.empty()) {
            handle->send(command);
        }
        // Let the shell start the command (a bounded pump, not a measurement).
        for (int i = 0; i < 50; ++i) {
            io.run_for(std::chrono::milliseconds(10));
            io.restart();
        }
    }
    ~LiveTerminal() {
        handle->terminate();
        for (int i = 0; i < 100 && engine->liveProcessCount() > 0; ++i) {
            io.restart();
            io.run_for(std::chrono::milliseconds(10));
        }
    }
    boost::asio::io_context io;
    std::unique_ptr<PtyTerminalEngine> engine;
    std::shared_ptr<TerminalHandle> handle;
    PtyTerminalEngine::TerminalProcess process{};
};

struct Minute {
    /// Output chunks: seconds into the minute and bytes.
    std::vector<std::pair<double, std::string>> chunks;
};

Minute minuteFor(int state) {
    Minute minute;
    if (state == 3) {
        std::string line = "  CC      src/some/module/file_with_a_long_name.o\r\n";
        std::string chunk;
        while (chunk.size() < 1024) {
            chunk += line;
        }
        for (double t = 0; t < 60; t += 0.05) {
            minute.chunks.emplace_back(t, chunk);
        }
    } else {
        minute.chunks.emplace_back(0.0, state == 0 ? "$ " : "\r\n");
    }
    return minute;
}

void ActivityDetectorMinute(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const char* commands[] = {"", "cat\n", "sleep 100000\n", "cat\n"};
    LiveTerminal terminal(commands[which]);
    const Minute minute = minuteFor(which);
    ActivityDetector::Config config;
    config.quietSeconds = 1.0;
    config.questionPatterns = {"(y/n)", "[y/n]", "password", "passphrase", "press enter"};
    StatusMonitor::Config monitorConfig{1.0, 4096, config.questionPatterns};
    const UUID id;
    double detectorTime = 0, monitorTime = 0;
    std::uint64_t probes = 0;
    auto start = ActivityDetector::Clock::now();
    for (auto _ : state) {
        // The detector's minute: evaluations exactly when it asks for them.
        const double t0 = threadSeconds();
        auto detector =
            ActivityDetector::forTerminal(config, terminal.process.masterFD, terminal.process.pid);
        std::vector<ActivityDetector::Date> moments;
        std::size_t next = 0;
        const auto end = after(start, 60);
        auto now = start;
        while (now < end) {
            const auto due = detector->nextCheck(now);
            const auto chunkAt =
                next < minute.chunks.size() ? after(start, minute.chunks[next].first) : end;
            if (due && *due <= chunkAt) {
                now = std::max(now, *due);
                benchmark::DoNotOptimize(detector->evaluate(now));
                moments.push_back(now);
            } else if (next < minute.chunks.size()) {
                now = chunkAt;
                detector->ingest(minute.chunks[next++].second, now);
            } else {
                break;
            }
        }
        const double t1 = threadSeconds();
        probes += detector->probeCount();
        // The monitor's minute: the same chunks, polled at the same moments.
        StatusMonitor monitor(monitorConfig);
        std::size_t poll = 0;
        for (const auto& [at, bytes] : minute.chunks) {
            const auto when = after(start, at);
            for (; poll < moments.size() && moments[poll] < when; ++poll) {
                benchmark::DoNotOptimize(monitor.status(id, moments[poll]));
            }
            monitor.ingest(id, bytes, when);
        }
        for (; poll < moments.size(); ++poll) {
            benchmark::DoNotOptimize(monitor.status(id, moments[poll]));
        }
        const double t2 = threadSeconds();
        detectorTime += t1 - t0;
        monitorTime += t2 - t1;
        start = after(start, 61);
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["detector_ms_per_min"] = 1e3 * detectorTime / iterations;
    state.counters["monitor_ms_per_min"] = 1e3 * monitorTime / iterations;
    state.counters["ratio_vs_monitor"] = monitorTime > 0 ? detectorTime / monitorTime : 0;
    state.counters["probes_per_min"] = static_cast<double>(probes) / iterations;
}

} // namespace

BENCHMARK(ActivityDetectorMinute)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(1.0);
