#include "OrvexPty/ActivityDetector.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using OrvexCore::TerminalActivity;
using OrvexPty::ActivityDetector;
using OrvexPty::ForegroundProbe;
using OrvexPty::ForegroundSnapshot;
using OrvexPty::TerminalByteTracker;
using Wait = ForegroundSnapshot::Wait;

namespace {

/// Hands out whatever snapshot the test put in and counts the readings.
class FakeProbe : public ForegroundProbe {
public:
    std::optional<ForegroundSnapshot> probe() override {
        ++calls;
        return next;
    }
    std::optional<ForegroundSnapshot> next;
    int calls = 0;
};

constexpr pid_t shellPID = 100;

ForegroundSnapshot::Process process(pid_t pid, std::string name, Wait wait) {
    ForegroundSnapshot::Process p;
    p.pid = pid;
    p.name = std::move(name);
    p.wait = wait;
    return p;
}

/// The shell alone in the foreground, waiting as given.
ForegroundSnapshot shellWaiting(Wait wait, bool canonical) {
    ForegroundSnapshot s;
    s.foregroundGroup = shellPID;
    s.shellInForeground = true;
    s.shellPID = shellPID;
    s.shellName = "bash";
    s.canonical = canonical;
    s.processes = {process(shellPID, "bash", wait)};
    return s;
}

/// A job of its own group in the foreground.
ForegroundSnapshot job(std::vector<ForegroundSnapshot::Process> processes, bool canonical) {
    ForegroundSnapshot s;
    s.foregroundGroup = processes.front().pid;
    s.shellPID = shellPID;
    s.shellName = "bash";
    s.canonical = canonical;
    s.processes = std::move(processes);
    return s;
}

ForegroundSnapshot withEchoOff(ForegroundSnapshot s) {
    s.echo = false;
    return s;
}

const ActivityDetector::Date t0{std::chrono::seconds(1'000'000)};

ActivityDetector::Date at(double seconds) {
    return t0 + std::chrono::duration_cast<ActivityDetector::Clock::duration>(
                    std::chrono::duration<double>(seconds));
}

ActivityDetector::Config config() {
    ActivityDetector::Config c;
    c.quietSeconds = 1.0;
    c.questionPatterns = {"Password", "press any key"};
    return c;
}

} // namespace

// Each row: what the terminal printed, what its processes do once it is quiet, and the verdict
// two seconds later.
TEST(ActivityDetector, DecidesFromProcessesMarksAndBytesInOrder) {
    using A = TerminalActivity;
    const std::string marksPrompt = "\x1b]133;D;0\a\x1b]133;A\a$ \x1b]133;B\a";
    struct Row {
        const char* what;
        std::string output;
        std::optional<ForegroundSnapshot> snapshot;
        A expected;
        const char* reasonHolds;
    };
    auto withTimeout = [](double seconds) {
        auto p = process(200, "top", Wait::waitsForEvents);
        p.timeoutSeconds = seconds;
        return p;
    };
    const std::vector<Row> rows = {
        {"readline prompt", "$ ", shellWaiting(Wait::readsTerminal, false), A::idle,
         "bash is at its prompt"},
        {"read -p without question mark", "Name: ", shellWaiting(Wait::readsTerminal, true),
         A::needsInput, "bash is reading a line: \"Name:\""},
        {"read -s answered, prompt on the same row", "Password: $ ",
         shellWaiting(Wait::readsTerminal, false), A::idle, "at its prompt"},
        {"read -n1 in raw mode", "Press any key to continue",
         shellWaiting(Wait::readsTerminal, false), A::needsInput, "bash asks"},
        {"marks: prompt drawn, canonical shell", marksPrompt,
         shellWaiting(Wait::readsTerminal, true), A::idle, "at its prompt"},
        {"marks: builtin read inside a command", "\x1b]133;C\aName: ",
         shellWaiting(Wait::readsTerminal, true), A::needsInput, "reading input for a command"},
        {"job reads the terminal with echo off", "[sudo] password for me: ",
         withEchoOff(job({process(200, "sudo", Wait::readsTerminal)}, true)), A::needsInput,
         "sudo is reading the terminal (echo off)"},
        {"set-user-ID program, terminal set for a password",
         "[sudo] password for me: ", withEchoOff(job({process(200, "sudo", Wait::unknown)}, true)),
         A::needsInput, "sudo is reading a password (echo off)"},
        {"set-user-ID program with echo on", "Downloading\r\n",
         job({process(200, "sudo", Wait::unknown)}, true), A::working, "sudo has been running"},
        {"silent job", "$ sleep 30\r\n", job({process(200, "sleep", Wait::other)}, true),
         A::working, "sleep has been running for 2.0 s without output"},
        {"question printed, job keeps working", "Overwrite? (assuming yes)\r\n",
         job({process(200, "python3", Wait::running)}, true), A::working,
         "python3 has been running"},
        {"full-screen editor waits for keys", "\x1b[?1049h\x1b[H~\r\n~",
         job({process(200, "vim", Wait::waitsForEvents)}, false), A::needsInput,
         "vim is waiting for a key (full screen)"},
        {"raw-mode program waking on a short timer", "\x1b[?1049hload",
         job({withTimeout(1.0)}, false), A::working, "top wakes every 1.0 s"},
        {"server waiting on the network in canonical mode", "Serving on :8000\r\n",
         job({process(200, "python3", Wait::waitsForEvents)}, true), A::working,
         "python3 has been running"},
        {"shell without job control waits for its child", "",
         [] {
             auto s = shellWaiting(Wait::waitsForChild, true);
             s.processes.push_back(process(300, "make", Wait::waitsForChild));
             s.processes.push_back(process(301, "cc1", Wait::running));
             return s;
         }(),
         A::working, "make has been running"},
        {"stopped job", "", job({process(200, "vim", Wait::stopped)}, false), A::idle,
         "vim is stopped"},
        {"no processes: quiet question", "Continue? ", std::nullopt, A::needsInput,
         "the last line asks \"Continue?\""},
        {"no processes: prompt mark", marksPrompt, std::nullopt, A::idle, "marked its prompt"},
        {"no processes: quiet plain line", "done\r\n", std::nullopt, A::idle, "nothing asked"},
    };
    for (const auto& row : rows) {
        auto probe = std::make_unique<FakeProbe>();
        probe->next = row.snapshot;
        ActivityDetector detector(config(), std::move(probe));
        detector.ingest(row.output.empty() ? std::string(" ") : row.output, at(0));
        detector.evaluate(at(0.2));
        const auto report = detector.evaluate(at(2.0));
        EXPECT_EQ(report.activity, row.expected) << row.what << ": " << report.reason;
        EXPECT_NE(report.reason.find(row.reasonHolds), std::string::npos)
            << row.what << ": " << report.reason;
    }
}

TEST(ActivityDetector, FreshOutputIsWorkingUntilTheProcessesAreReadAgain) {
    auto owned = std::make_unique<FakeProbe>();
    FakeProbe& probe = *owned;
    probe.next = job({process(200, "top", Wait::waitsForEvents)}, false);
    ActivityDetector detector(config(), std::move(owned));
    detector.ingest("\x1b[?1049hframe 1", at(0));
    EXPECT_EQ(detector.evaluate(at(0.05)).activity, TerminalActivity::working);
    EXPECT_EQ(probe.calls, 0) << "the output has not settled yet";
    EXPECT_EQ(detector.evaluate(at(0.5)).reason, "top is updating the terminal");
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(detector.evaluate(at(1.5)).activity, TerminalActivity::needsInput);
    EXPECT_EQ(probe.calls, 2) << "read again when the quiet period ended";

    // A program blocked in read() on the terminal is waiting, however fresh its prompt.
    probe.next = job({process(201, "python3", Wait::readsTerminal)}, true);
    detector.ingest(">>> ", at(3.0));
    EXPECT_EQ(detector.evaluate(at(3.05)).activity, TerminalActivity::working);
    EXPECT_EQ(detector.evaluate(at(3.15)).reason, "python3 is reading the terminal");
}

TEST(ActivityDetector, ReadsProcessesOnlyWhenDueAndNeverWhileIdle) {
    auto owned = std::make_unique<FakeProbe>();
    FakeProbe& probe = *owned;
    probe.next = shellWaiting(Wait::readsTerminal, false);
    ActivityDetector detector(config(), std::move(owned));
    EXPECT_FALSE(detector.nextCheck(at(0))) << "nothing to do before any output";
    detector.ingest("$ ", at(0));
    EXPECT_EQ(detector.nextCheck(at(0)), at(0.1)) << "once the output settles";
    for (double t = 0.11; t < 600; t += 0.25) {
        detector.evaluate(at(t));
    }
    EXPECT_EQ(probe.calls, 2) << "settled, then the quiet period's end; idle costs nothing";
    EXPECT_FALSE(detector.nextCheck(at(600)));

    // Not idle: read again once a second, and no more often however often it is asked.
    probe.next = job({process(200, "sleep", Wait::other)}, true);
    detector.ingest("sleep 100\r\n", at(600));
    for (double t = 600.01; t < 660; t += 0.01) {
        if (const auto due = detector.nextCheck(at(t)); due && *due <= at(t)) {
            detector.evaluate(at(t));
        }
        detector.evaluate(at(t));
    }
    EXPECT_GE(probe.calls, 2 + 58);
    EXPECT_LE(probe.calls, 2 + 62);
    EXPECT_EQ(detector.evaluate(at(660)).reason, "sleep has been running for 60 s without output");
}

TEST(TerminalByteTracker, TracksRowsScreenMarksAndBells) {
    TerminalByteTracker tracker;
    tracker.ingest("Downloading...  20%\rDownloading... 100%");
    tracker.ingest("  Enter name: ");
    EXPECT_EQ(tracker.lastVisibleRow(), "Downloading... 100%  Enter name: ");
    tracker.ingest("ann\r\n\r\n");
    EXPECT_EQ(tracker.lastVisibleRow(), "Downloading... 100%  Enter name: ann")
        << "blank rows do not hide the last text";
    tracker.ingest("abc\x1b[2K\rxy\x1b(Bz");
    EXPECT_EQ(tracker.lastVisibleRow(), "xyz") << "erased row, charset designation skipped";
    tracker.ingest("\x1b[2GY");
    EXPECT_EQ(tracker.lastVisibleRow(), "xYz") << "cursor to column 2";

    tracker.ingest("\x1b]0;title\a\x07\x1b]133;C\x1b\\");
    EXPECT_EQ(tracker.bellCount(), 1u) << "the title's terminator is no bell";
    EXPECT_EQ(tracker.shellMark(), TerminalByteTracker::ShellMark::commandRunning);
    tracker.ingest("\x1b]133;D;1\a");
    EXPECT_EQ(tracker.shellMark(), TerminalByteTracker::ShellMark::atPrompt);

    tracker.ingest("\x1b[?10");
    tracker.ingest("49h");
    EXPECT_TRUE(tracker.alternateScreen()) << "a sequence split across chunks";
    EXPECT_EQ(tracker.lastVisibleRow(), "");
    tracker.ingest("\x1b[?1049l");
    EXPECT_FALSE(tracker.alternateScreen());
}
