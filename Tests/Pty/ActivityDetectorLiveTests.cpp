#include "OrvexPty/ActivityDetector.hpp"

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexPty/PtyTerminalEngine.hpp"
#include "Support/RunUntil.hpp"

using OrvexCore::TerminalActivity;
using OrvexPty::ActivityDetector;
using OrvexPty::ActivityReport;
using OrvexPty::PtyTerminalEngine;

namespace {

/// One real bash in a pseudo-terminal with a detector driven as a terminal host drives it:
/// every chunk is ingested, and the detector is evaluated whenever `nextCheck` says.
class LiveActivity : public ::testing::Test {
protected:
    LiveActivity() {
        PtyTerminalEngine::Options options;
        options.shell = "/bin/bash";
        options.shellArguments = {"--norc", "--noprofile"};
        options.terminateGraceSeconds = 0.5;
        options.onOutput = [this](const OrvexCore::UUID&, std::string_view bytes) {
            if (detector) {
                detector->ingest(bytes, ActivityDetector::Clock::now());
            }
        };
        engine = std::make_unique<PtyTerminalEngine>(io.get_executor(), options);
        handle = engine->makeTerminal("/", std::nullopt,
                                      {{"PATH", "/usr/bin:/bin"},
                                       {"PS1", "$ "},
                                       {"HISTFILE", "/dev/null"},
                                       {"TERM", "dumb"}});
        const auto process = PtyTerminalEngine::processOf(*handle);
        EXPECT_TRUE(process);
        ActivityDetector::Config config;
        config.quietSeconds = 1.0;
        config.questionPatterns = {"password"};
        detector = ActivityDetector::forTerminal(config, process->masterFD, process->pid);
    }

    ~LiveActivity() override {
        detector.reset();
        handle->terminate();
        OrvexTest::runUntil(io, [&] { return engine->liveProcessCount() == 0; });
    }

    /// Runs the terminal until the detector reports `activity` with a reason holding `reason`;
    /// false past a deadline that only bounds a hung test.
    bool reaches(TerminalActivity activity, const std::string& reason) {
        return OrvexTest::runUntil(io, [&] {
            const auto now = ActivityDetector::Clock::now();
            if (const auto due = detector->nextCheck(now); due && *due <= now) {
                last = detector->evaluate(now);
            }
            return last.activity == activity && last.reason.find(reason) != std::string::npos;
        });
    }

    boost::asio::io_context io;
    std::unique_ptr<PtyTerminalEngine> engine;
    std::shared_ptr<OrvexCore::TerminalHandle> handle;
    std::unique_ptr<ActivityDetector> detector;
    ActivityReport last;
};

} // namespace

TEST_F(LiveActivity, SilentJobWorksStoppedJobLeavesThePromptAndReaderNeedsInput) {
    ASSERT_TRUE(reaches(TerminalActivity::idle, "bash is at its prompt")) << last.reason;
    handle->send("sleep 60\n");
    ASSERT_TRUE(reaches(TerminalActivity::working, "sleep has been running for")) << last.reason;
    handle->send("\x1a"); // Ctrl-Z: the job stops and the shell takes the terminal back
    ASSERT_TRUE(reaches(TerminalActivity::idle, "bash is at its prompt")) << last.reason;
    handle->send("kill %1; cat\n");
    ASSERT_TRUE(reaches(TerminalActivity::needsInput, "cat is reading the terminal"))
        << last.reason;
    handle->send("\x04");
    ASSERT_TRUE(reaches(TerminalActivity::idle, "bash is at its prompt")) << last.reason;
}

TEST_F(LiveActivity, PasswordReadThroughTheControllingTerminalWithEchoOff) {
    ASSERT_TRUE(reaches(TerminalActivity::idle, "bash is at its prompt")) << last.reason;
    // A job of its own that opens /dev/tty and turns echo off, as password prompts do.
    handle->send("sh -c 'stty -echo </dev/tty; printf \"Password: \"; head -n1 </dev/tty "
                 ">/dev/null; stty echo </dev/tty'\n");
    ASSERT_TRUE(reaches(TerminalActivity::needsInput, "head is reading the terminal (echo off)"))
        << last.reason;
    handle->send("secret\n");
    ASSERT_TRUE(reaches(TerminalActivity::idle, "bash is at its prompt")) << last.reason;
}
