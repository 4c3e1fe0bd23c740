// Terminal output monitoring and terminal bookkeeping.
//
// StatusMonitorIngest/<corpus>: throughput of StatusMonitor::ingest on terminal output as
// users' terminals produce it: each corpus is captured from a real pseudo-terminal (so line
// ends are CR LF and programs colour their output as they do for a person), then fed in 4 KiB
// chunks as a pseudo-terminal delivers it, timed side by side with a plain memchr scan for the
// escape byte over the same chunks (the physical reference: every byte touched once by a
// vectorised search). The two sides alternate which goes first. Counters: monitor_GBps and
// memchr_GBps (wall clock), ratio_vs_memchr (monitor time / memchr time, wall clock; the
// target is at most 3) and cpu_ratio_vs_memchr (the same in this thread's processor time).
//
// StatusPollUnchanged: status(for:now:) polled 1,000 times on an unchanged tail; counters:
// decodes_per_1000_polls (should be 1 for the first round and 0 after) and
// ratio_vs_redecoding (cost of 1,000 cached polls / cost of 1,000 polls that each find a
// changed tail).
//
// Controller*: terminals(for:) and layout(for:) with 200 terminals over 50 sessions, per call.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include "OrvexCore/Status/StatusMonitor.hpp"
#include "OrvexCore/Terminal/TerminalController.hpp"
#include "Terminal/FakeTerminalEngine.hpp"

using namespace OrvexCore;

namespace {

constexpr size_t kChunk = 4096;
constexpr size_t kCorpusBytes = 8 << 20;

/// `sample` repeated up to about `kCorpusBytes`.
std::string repeated(const std::string& sample) {
    std::string corpus;
    if (sample.empty()) {
        return corpus;
    }
    corpus.reserve(kCorpusBytes + sample.size());
    while (corpus.size() < kCorpusBytes) {
        corpus += sample;
    }
    return corpus;
}

/// What `arguments` (run through /usr/bin/env) writes to a pseudo-terminal of 160 by 50 cells,
/// with `input` typed into it at the start; empty when it cannot be had. The terminal's line
/// discipline turns each line feed into CR LF and programs see a terminal, as in real use.
std::string terminalOutput(const std::vector<std::string>& arguments,
                           const std::string& input = {}) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 160;
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child < 0) {
        return {};
    }
    if (child == 0) {
        std::vector<char*> argv;
        std::string env = "/usr/bin/env";
        argv.push_back(env.data());
        std::vector<std::string> copies = arguments;
        for (auto& argument : copies) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::setenv("TERM", "xterm-256color", 1);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        ::execv(env.c_str(), argv.data());
        ::_exit(127);
    }
    if (!input.empty()) {
        (void)!::write(master, input.data(), input.size());
    }
    std::string output;
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 1000) <= 0) {
            continue;
        }
        const ssize_t count = ::read(master, buffer, sizeof buffer);
        if (count <= 0) {
            break; // EIO once the program and everything it started have closed the terminal
        }
        output.append(buffer, static_cast<size_t>(count));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(master);
    return output;
}

/// This thread's processor time: the machine is shared, so wall-clock time would count the
/// time other programs ran.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string sourceRoot() {
    return std::string(ORVEX_BIN_DIR) + "/../../..";
}

const std::string& corpus(int which) {
    static const std::vector<std::string> corpora = [] {
        std::vector<std::string> all;
        all.push_back(
            repeated(terminalOutput({"ls", "-lR", "--color", "/usr/include/boost/asio"})));
        all.push_back(repeated(
            terminalOutput({"grep", "-rn", "--color", "async", "/usr/include/boost/asio"})));
        // An interactive shell: a coloured prompt with shell-integration marks, the echo of
        // each typed command, and the commands' output.
        const std::string prompt = "\\[\\e]133;D;$?\\a\\e]133;A\\a\\e[01;32m\\]bench@orvex"
                                   "\\[\\e[00m\\]:\\[\\e[01;34m\\]\\w\\[\\e[00m\\]\\$ "
                                   "\\[\\e]133;B\\a\\]";
        std::string session = "cd /usr/include/boost/asio\n";
        for (int round = 0; round < 3; ++round) {
            session += "ls -l --color\n"
                       "grep -n --color async ip/*.hpp | head -100\n"
                       "cat ../version.hpp\n"
                       "git --no-pager log --oneline -n 5 2>&1 | head -5\n"
                       "echo done; printf '\\a'\n";
        }
        session += "exit\n";
        all.push_back(repeated(terminalOutput(
            {"env", "PS1=" + prompt, "bash", "--norc", "--noprofile", "-i"}, session)));
        all.push_back(repeated(terminalOutput({"git", "-C", sourceRoot(), "--no-pager", "log", "-p",
                                               "--color", "--stat", "-n", "50"})));
        // A full-screen program redrawing: cursor addressing, colours, erases, short texts.
        std::mt19937 random(7);
        std::string screen;
        for (int frame = 0; frame < 200; ++frame) {
            screen += "\x1b[?25l\x1b[H";
            for (int row = 1; row <= 40; ++row) {
                screen += "\x1b[" + std::to_string(row) + ";1H\x1b[2K";
                for (int cell = 0; cell < 6; ++cell) {
                    screen += "\x1b[38;5;" + std::to_string(random() % 256) + "m";
                    screen +=
                        std::string(random() % 12 + 1, static_cast<char>('a' + random() % 26));
                    screen += "\x1b[" + std::to_string(random() % 80 + 1) + "G";
                }
            }
            screen += "\x1b[0m\r\x1b[K[" + std::string(frame % 50, '#') + "]\x1b[?25h";
        }
        all.push_back(repeated(screen));
        return all;
    }();
    return corpora.at(static_cast<size_t>(which));
}

size_t memchrScan(const std::string& data) {
    size_t escapes = 0;
    for (size_t offset = 0; offset < data.size(); offset += kChunk) {
        const char* p = data.data() + offset;
        const char* end = p + std::min(kChunk, data.size() - offset);
        while ((p = static_cast<const char*>(std::memchr(p, 0x1B, static_cast<size_t>(end - p))))) {
            ++escapes;
            ++p;
        }
    }
    return escapes;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void StatusMonitorIngest(benchmark::State& state) {
    const std::string& data = corpus(static_cast<int>(state.range(0)));
    if (data.empty()) {
        state.SkipWithError("could not produce the corpus");
        return;
    }
    StatusMonitor monitor(StatusMonitor::Config{1.0, 4096, {"(y/n)", "press enter"}});
    size_t bells = 0;
    monitor.onBell = [&bells](const UUID&) { ++bells; };
    const UUID terminal;
    const auto now = std::chrono::system_clock::now();
    auto ingestAll = [&] {
        for (size_t offset = 0; offset < data.size(); offset += kChunk) {
            monitor.ingest(
                terminal,
                std::string_view(data).substr(offset, std::min(kChunk, data.size() - offset)), now);
        }
    };
    auto scanAll = [&] { benchmark::DoNotOptimize(memchrScan(data)); };
    double monitorWall = 0;
    double memchrWall = 0;
    double monitorCPU = 0;
    double memchrCPU = 0;
    auto timed = [](auto work, double& wall, double& cpu) {
        const double wallStart = wallSeconds();
        const double cpuStart = threadSeconds();
        work();
        cpu += threadSeconds() - cpuStart;
        wall += wallSeconds() - wallStart;
    };
    bool monitorFirst = true;
    for (auto _ : state) {
        if (monitorFirst) {
            timed(ingestAll, monitorWall, monitorCPU);
            timed(scanAll, memchrWall, memchrCPU);
        } else {
            timed(scanAll, memchrWall, memchrCPU);
            timed(ingestAll, monitorWall, monitorCPU);
        }
        monitorFirst = !monitorFirst;
    }
    const double bytes = static_cast<double>(data.size()) * static_cast<double>(state.iterations());
    size_t carriageReturns = static_cast<size_t>(std::count(data.begin(), data.end(), '\r'));
    state.counters["corpus_MB"] = static_cast<double>(data.size()) / 1e6;
    state.counters["CR_per_KB"] =
        static_cast<double>(carriageReturns) * 1000.0 / static_cast<double>(data.size());
    state.counters["monitor_GBps"] = bytes / monitorWall / 1e9;
    state.counters["memchr_GBps"] = bytes / memchrWall / 1e9;
    state.counters["ratio_vs_memchr"] = monitorWall / memchrWall;
    state.counters["cpu_ratio_vs_memchr"] = monitorCPU / memchrCPU;
    benchmark::DoNotOptimize(bells);
}
BENCHMARK(StatusMonitorIngest)
    ->ArgName("corpus")
    ->Arg(0) // ls -lR --color, through a pseudo-terminal
    ->Arg(1) // grep -rn --color, through a pseudo-terminal
    ->Arg(2) // an interactive shell session, through a pseudo-terminal
    ->Arg(3) // git log -p --color, through a pseudo-terminal
    ->Arg(4) // cursor-heavy redraws
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);

void StatusPollUnchanged(benchmark::State& state) {
    StatusMonitor monitor(StatusMonitor::Config{0.5, 4096, {"(y/n)", "press enter", "password"}});
    const UUID terminal;
    const auto then = std::chrono::system_clock::now();
    std::string tail;
    while (tail.size() < 6000) {
        tail += "building module " + std::to_string(tail.size()) + " \xe2\x9c\x93 ok\r\n";
    }
    tail += "Overwrite existing files? (y/n) ";
    monitor.ingest(terminal, tail, then);
    const auto later = then + std::chrono::seconds(5);
    std::int64_t decodes = 0;
    double cached = 0;
    double changing = 0;
    for (auto _ : state) {
        const auto before = monitor.tailDecodeCount();
        const double start = threadSeconds();
        for (int i = 0; i < 1000; ++i) {
            benchmark::DoNotOptimize(monitor.status(terminal, later));
        }
        const double middle = threadSeconds();
        decodes += monitor.tailDecodeCount() - before;
        // The comparison: every poll finds a changed tail and must decode it.
        for (int i = 0; i < 1000; ++i) {
            monitor.ingest(terminal, std::string_view(" "), then);
            benchmark::DoNotOptimize(monitor.status(terminal, later));
        }
        const double end = threadSeconds();
        cached += middle - start;
        changing += end - middle;
        monitor.ingest(terminal, std::string_view("\n(y/n) "), then);
    }
    state.counters["decodes_per_1000_polls"] =
        static_cast<double>(decodes) / static_cast<double>(state.iterations());
    state.counters["ratio_vs_redecoding"] = cached / changing;
    state.counters["ns_per_cached_poll"] =
        cached * 1e9 / (1000.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(StatusPollUnchanged);

/// 200 terminals over 50 sessions, each session with a saved 2 x 2 layout.
struct ControllerWorld {
    ControllerWorld() {
        auto record = std::make_shared<OrvexTest::FakeEngineRecord>();
        controller = std::make_shared<TerminalController>(
            io.get_executor(), std::make_unique<OrvexTest::FakeTerminalEngine>(record));
        for (int s = 0; s < 50; ++s) {
            Session session;
            session.worktreePath = "/work/sessions/s" + std::to_string(s);
            sessions.push_back(session);
        }
        for (int t = 0; t < 200; ++t) {
            controller->createAdditional(sessions[static_cast<size_t>(t % 50)]);
        }
        for (const auto& session : sessions) {
            const auto& refs = controller->terminals(session.id);
            controller->setLayout({{refs[3].id, refs[0].id}, {refs[1].id, refs[2].id}}, session.id);
        }
    }
    boost::asio::io_context io;
    std::shared_ptr<TerminalController> controller;
    std::vector<Session> sessions;
};

void ControllerTerminalsFor(benchmark::State& state) {
    ControllerWorld world;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(world.controller->terminals(world.sessions[i++ % 50].id).size());
    }
}
BENCHMARK(ControllerTerminalsFor);

void ControllerTerminalsForAfterAChange(benchmark::State& state) {
    // Each call follows a rename, so it rebuilds the whole index: the cost the cache avoids.
    ControllerWorld world;
    const UUID renamed = world.controller->terminals().get().front().id;
    size_t i = 0;
    for (auto _ : state) {
        world.controller->rename(renamed, "t");
        benchmark::DoNotOptimize(world.controller->terminals(world.sessions[i++ % 50].id).size());
    }
}
BENCHMARK(ControllerTerminalsForAfterAChange);

void ControllerLayoutFor(benchmark::State& state) {
    ControllerWorld world;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(world.controller->layout(world.sessions[i++ % 50].id));
    }
}
BENCHMARK(ControllerLayoutFor);

} // namespace
