// Runs the activity corpus live: each scenario's keystrokes are typed into bash under a real
// pseudo-terminal, the output is recorded, and at each labelled moment the status monitor
// alone and the activity detector give their verdicts, which are compared with the label.
//
//   orvex-activity-corpus SCENARIOS.json PROGRAMS_DIR [--record DIR] [--only NAME]
//                         [--parallel N] [--quiet SECONDS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"
#include "OrvexCore/Status/StatusMonitor.hpp"
#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexPty/ActivityDetector.hpp"
#include "OrvexPty/PtyTerminalEngine.hpp"

using namespace OrvexCore;
using OrvexPty::ActivityDetector;
using OrvexPty::PtyTerminalEngine;
using Clock = std::chrono::system_clock;

namespace {

const char* name(TerminalActivity activity) {
    switch (activity) {
    case TerminalActivity::working:
        return "working";
    case TerminalActivity::idle:
        return "idle";
    case TerminalActivity::needsInput:
        return "needsInput";
    }
    return "?";
}

TerminalActivity parseActivity(const std::string& text) {
    if (text == "working") {
        return TerminalActivity::working;
    }
    if (text == "needsInput") {
        return TerminalActivity::needsInput;
    }
    return TerminalActivity::idle;
}

double since(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct Label {
    double at;
    TerminalActivity expected;
    std::string why;
};

struct Verdict {
    Label label;
    TerminalActivity frontEndMonitor;
    TerminalActivity tunedMonitor;
    OrvexPty::ActivityReport detector;
};

struct Run {
    nlohmann::json scenario;
    std::vector<std::pair<double, std::string>> steps;
    std::vector<Label> labels;
    std::shared_ptr<TerminalHandle> handle;
    std::unique_ptr<StatusMonitor> frontEndMonitor;
    std::unique_ptr<StatusMonitor> tunedMonitor;
    std::unique_ptr<ActivityDetector> detector;
    enum class Phase { booting, setup, running, done } phase = Phase::booting;
    Clock::time_point lastOutput{};
    Clock::time_point t0{};
    bool anyOutput = false;
    std::size_t nextStep = 0;
    std::size_t nextLabel = 0;
    std::vector<std::pair<Clock::time_point, std::string>> chunks;
    std::vector<Verdict> verdicts;
    std::string tempDir;
};

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: orvex-activity-corpus SCENARIOS.json PROGRAMS_DIR [--record DIR] "
                     "[--only NAME] [--parallel N] [--quiet SECONDS]\n";
        return 2;
    }
    const std::string programs = std::filesystem::absolute(argv[2]);
    std::optional<std::string> recordDir;
    std::optional<std::string> only;
    std::size_t parallel = 4;
    AppSettings settings(std::make_shared<MemoryUserDefaults>());
    double quiet = settings.activityQuietSeconds();
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--record") {
            recordDir = argv[i + 1];
        } else if (flag == "--only") {
            only = argv[i + 1];
        } else if (flag == "--parallel") {
            parallel = std::stoul(argv[i + 1]);
        } else if (flag == "--quiet") {
            quiet = std::stod(argv[i + 1]);
        }
    }
    std::ifstream file(argv[1]);
    const auto scenarios = nlohmann::json::parse(file);

    boost::asio::io_context io;
    std::map<UUID, Run*> byTerminal;
    PtyTerminalEngine::Options options;
    options.shell = "/bin/bash";
    options.shellArguments = {"--norc", "--noprofile"};
    options.terminateGraceSeconds = 0.5;
    options.onOutput = [&](const UUID& id, std::string_view bytes) {
        const auto found = byTerminal.find(id);
        if (found == byTerminal.end()) {
            return;
        }
        Run& run = *found->second;
        const auto now = Clock::now();
        run.lastOutput = now;
        run.anyOutput = true;
        run.chunks.emplace_back(now, std::string(bytes));
        run.frontEndMonitor->ingest(id, bytes, now);
        run.tunedMonitor->ingest(id, bytes, now);
        if (run.detector) {
            run.detector->ingest(bytes, now);
        }
    };
    PtyTerminalEngine engine(io.get_executor(), options);

    const std::vector<std::string> frontEndPatterns = {
        "(y/n)",  "[y/n]", "(yes/no)", "press enter", "do you want to", "waiting for input",
        "approve"};
    std::vector<std::unique_ptr<Run>> runs;
    for (const auto& scenario : scenarios) {
        if (only && scenario["name"] != *only) {
            continue;
        }
        auto run = std::make_unique<Run>();
        run->scenario = scenario;
        for (const auto& step : scenario["steps"]) {
            run->steps.emplace_back(step[0].get<double>(), step[1].get<std::string>());
        }
        for (const auto& label : scenario["labels"]) {
            run->labels.push_back(
                {label[0].get<double>(), parseActivity(label[1]), label[2].get<std::string>()});
        }
        run->frontEndMonitor =
            std::make_unique<StatusMonitor>(StatusMonitor::Config{2.0, 4096, frontEndPatterns});
        run->tunedMonitor = std::make_unique<StatusMonitor>(
            StatusMonitor::Config{quiet, 4096, settings.activityQuestionPatterns()});
        runs.push_back(std::move(run));
    }

    auto start = [&](Run& run) {
        char pattern[] = "/tmp/orvex-corpus-XXXXXX";
        run.tempDir = ::mkdtemp(pattern);
        std::map<std::string, std::string> environment = {
            {"PATH", "/usr/local/bin:/usr/bin:/bin"},
            {"HOME", run.tempDir},
            {"TERM", "xterm-256color"},
            {"LANG", "C.UTF-8"},
            {"HISTFILE", "/dev/null"},
            {"P", programs},
            {"USER", "corpus"},
            {"PS1", "$ "},
        };
        if (run.scenario.value("marks", false)) {
            environment["PS1"] = "\\[\\e]133;A\\a\\]$ \\[\\e]133;B\\a\\]";
            environment["PS0"] = "\\[\\e]133;C\\a\\]";
            environment["PROMPT_COMMAND"] = "printf '\\e]133;D;%s\\a' $?";
        }
        run.handle = engine.makeTerminal(run.tempDir, std::nullopt, environment);
        byTerminal[run.handle->id()] = &run;
        if (const auto process = PtyTerminalEngine::processOf(*run.handle)) {
            ActivityDetector::Config config;
            config.quietSeconds = quiet;
            config.questionPatterns = settings.activityQuestionPatterns();
            run.detector = ActivityDetector::forTerminal(config, process->masterFD, process->pid);
        }
    };

    std::size_t next = 0;
    std::size_t active = 0;
    for (;;) {
        while (active < parallel && next < runs.size()) {
            start(*runs[next++]);
            ++active;
        }
        if (active == 0) {
            break;
        }
        io.restart();
        io.run_for(std::chrono::milliseconds(5));
        const auto now = Clock::now();
        for (auto& owned : runs) {
            Run& run = *owned;
            if (!run.handle || run.phase == Run::Phase::done) {
                continue;
            }
            const double quietFor = since(run.lastOutput, now);
            if (run.phase == Run::Phase::booting && run.anyOutput && quietFor > 0.8) {
                const std::string setup = run.scenario.value("setup", "");
                if (!setup.empty()) {
                    run.handle->send(setup);
                    run.lastOutput = now;
                    run.phase = Run::Phase::setup;
                } else {
                    run.phase = Run::Phase::running;
                    run.t0 = now;
                }
            } else if (run.phase == Run::Phase::setup && quietFor > 1.5) {
                run.phase = Run::Phase::running;
                run.t0 = now;
            }
            if (run.phase != Run::Phase::running) {
                continue;
            }
            const double t = since(run.t0, now);
            while (run.nextStep < run.steps.size() && run.steps[run.nextStep].first <= t) {
                run.handle->send(run.steps[run.nextStep++].second);
            }
            // As the terminal host would: evaluate when the detector asks to.
            if (run.detector) {
                if (const auto due = run.detector->nextCheck(now); due && *due <= now) {
                    run.detector->evaluate(now);
                }
            }
            while (run.nextLabel < run.labels.size() && run.labels[run.nextLabel].at <= t) {
                const Label& label = run.labels[run.nextLabel++];
                const UUID id = run.handle->id();
                Verdict verdict{
                    label, run.frontEndMonitor->status(id, now), run.tunedMonitor->status(id, now),
                    run.detector ? run.detector->evaluate(now) : OrvexPty::ActivityReport{}};
                run.verdicts.push_back(verdict);
            }
            if (run.nextLabel == run.labels.size()) {
                run.phase = Run::Phase::done;
                run.detector.reset();
                run.handle->terminate();
                --active;
            }
        }
    }

    int total = 0, frontEndAgree = 0, tunedAgree = 0, detectorAgree = 0;
    std::printf("%-30s %6s %9s %9s %9s\n", "scenario", "labels", "monitor2s", "monitorQ",
                "detector");
    for (const auto& owned : runs) {
        const Run& run = *owned;
        int f = 0, m = 0, d = 0;
        for (const auto& verdict : run.verdicts) {
            f += verdict.frontEndMonitor == verdict.label.expected;
            m += verdict.tunedMonitor == verdict.label.expected;
            d += verdict.detector.activity == verdict.label.expected;
        }
        const int n = static_cast<int>(run.verdicts.size());
        total += n;
        frontEndAgree += f;
        tunedAgree += m;
        detectorAgree += d;
        std::printf("%-30s %6d %6d/%-2d %6d/%-2d %6d/%-2d\n",
                    run.scenario["name"].get<std::string>().c_str(), n, f, n, m, n, d, n);
        for (const auto& verdict : run.verdicts) {
            std::printf(
                "    t=%-5.1f want %-10s monitor2s %-10s monitorQ %-10s detector %-10s %s %s\n",
                verdict.label.at, name(verdict.label.expected), name(verdict.frontEndMonitor),
                name(verdict.tunedMonitor), name(verdict.detector.activity),
                verdict.detector.activity == verdict.label.expected ? "  " : "XX",
                verdict.detector.reason.c_str());
        }
        if (recordDir) {
            std::filesystem::create_directories(*recordDir);
            std::ofstream out(*recordDir + "/" + run.scenario["name"].get<std::string>() + ".rec");
            // Long plain output is kept short: its middle, where no escape sequence or bell
            // is, says nothing the ends do not.
            std::size_t total = 0;
            for (const auto& chunk : run.chunks) {
                total += chunk.second.size();
            }
            std::size_t kept = 0;
            std::size_t elidedChunks = 0, elidedBytes = 0, elidedTotal = 0;
            for (std::size_t index = 0; index < run.chunks.size(); ++index) {
                const auto& [at, bytes] = run.chunks[index];
                const bool plain = bytes.find_first_of("\x1b\x07") == std::string::npos;
                if (total > 64 * 1024 && plain && kept > 16 * 1024 &&
                    total - kept - elidedTotal > 16 * 1024) {
                    ++elidedChunks;
                    elidedBytes += bytes.size();
                    elidedTotal += bytes.size();
                    continue;
                }
                if (elidedChunks > 0) {
                    out << "# elided " << elidedChunks << " chunks, " << elidedBytes
                        << " bytes of plain output\n";
                    elidedChunks = 0;
                    elidedBytes = 0;
                }
                kept += bytes.size();
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "%.3f", since(run.t0, at));
                out << stamp << '\t' << hex(bytes) << '\n';
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(run.tempDir, ignored);
    }
    std::printf("\nquiet %.2f s; checkpoints %d: front end's monitor (2 s, its patterns) %d "
                "(%.1f %%), monitor with the detector's settings %d (%.1f %%), detector %d "
                "(%.1f %%)\n",
                quiet, total, frontEndAgree, 100.0 * frontEndAgree / std::max(1, total), tunedAgree,
                100.0 * tunedAgree / std::max(1, total), detectorAgree,
                100.0 * detectorAgree / std::max(1, total));
    for (int i = 0; i < 100 && engine.liveProcessCount() > 0; ++i) {
        io.restart();
        io.run_for(std::chrono::milliseconds(20));
    }
    return 0;
}
