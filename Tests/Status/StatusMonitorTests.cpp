#include "OrvexCore/Status/StatusMonitor.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "OrvexCore/Status/CommandActivity.hpp"

using namespace OrvexCore;
using namespace std::chrono_literals;
using Date = StatusMonitor::Date;

namespace {

const Date t0 = Date{} + std::chrono::hours(24 * 365 * 50);

StatusMonitor::Config config(std::int64_t maxTail = 1024, std::vector<std::string> patterns = {}) {
    return StatusMonitor::Config{2.0, maxTail, std::move(patterns)};
}

/// A monitor that counts bells per terminal.
struct Monitor {
    explicit Monitor(StatusMonitor::Config c = config()) : monitor(std::move(c)) {
        monitor.onBell = [this](const UUID& id) { bells.push_back(id); };
    }
    StatusMonitor monitor;
    std::vector<UUID> bells;
    UUID id;

    void feed(std::string_view bytes, Date at = t0) { monitor.ingest(id, bytes, at); }
    std::string tail() const { return std::string(monitor.tail(id).value_or("<none>")); }
    /// Activity just after the output: recent, so only a finished-command mark makes it idle.
    TerminalActivity recent() { return monitor.status(id, t0 + 1s); }
    TerminalActivity quiet() { return monitor.status(id, t0 + 10s); }
};

} // namespace

TEST(StatusMonitorScanner, KeepsPrintableBytesAndLineFeedsOnly) {
    struct Case {
        const char* name;
        std::string input;
        std::string tail;
        size_t bells;
    };
    const std::vector<Case> cases = {
        {"carriage return dropped", "abc\r\n", "abc\n", 0},
        {"erase screen leaves nothing", "\x1b[2J", "", 0},
        {"one byte after a lone escape is swallowed", "\x1b(B", "B", 0},
        {"tab, backspace and other controls dropped", "a\tb\bc\x01\x1f", "abc", 0},
        {"bell in plain output rings once per byte", "x\a\ay", "xy", 2},
        {"title ended by bell is not a bell", "\x1b]0;title\a", "", 0},
        {"title ended by escape and any byte", "\x1b]2;t\x1bZrest", "rest", 0},
        {"csi parameters and intermediates skipped", "\x1b[1;31mred\x1b[0m\x1b[?25h", "red", 0},
        {"bell inside csi is swallowed", "\x1b[1\a2mX", "X", 0},
        {"utf-8 passes through", "gr\xc3\xbc\xc3\x9f \xe2\x9c\x93",
         "gr\xc3\xbc\xc3\x9f \xe2\x9c\x93", 0},
        {"invalid high bytes pass through", "\xff\x80", "\xff\x80", 0},
        {"delete byte is kept", "\x7f", "\x7f", 0},
    };
    for (const auto& c : cases) {
        Monitor m;
        m.feed(c.input);
        EXPECT_EQ(m.tail(), c.tail) << c.name;
        EXPECT_EQ(m.bells.size(), c.bells) << c.name;
    }
}

TEST(StatusMonitorIngest, EmptyChunkCreatesNoStateAndMovesNothing) {
    Monitor m;
    m.feed("");
    EXPECT_FALSE(m.monitor.tail(m.id));
    EXPECT_EQ(m.recent(), TerminalActivity::idle);

    m.feed("x", t0);
    m.monitor.ingest(m.id, std::string_view(), t0 + 5s);
    EXPECT_EQ(m.monitor.status(m.id, t0 + 3s), TerminalActivity::idle)
        << "the empty chunk must not count as activity";
}

TEST(StatusMonitorIngest, ControlOnlyChunkCountsAsActivity) {
    Monitor m;
    m.feed("\x1b[2J", t0);
    EXPECT_EQ(m.monitor.status(m.id, t0 + 1s), TerminalActivity::working);
    EXPECT_EQ(m.monitor.status(m.id, t0 - 1s), TerminalActivity::working) << "clock went back";
    EXPECT_EQ(m.monitor.status(m.id, t0 + 2s), TerminalActivity::idle);
}

TEST(StatusMonitorIngest, MaxTailBytesOutsideItsRangeIsRejected) {
    EXPECT_THROW(StatusMonitor(config(-1)), std::invalid_argument);
    EXPECT_THROW(StatusMonitor(config(std::numeric_limits<std::int64_t>::max())),
                 std::invalid_argument);
}

TEST(StatusMonitorMarks, FinishedMarkMakesIdleUntilTheNextStartedMark) {
    Monitor m;
    m.feed("out\x1b]133;D;0\x1b\\");
    EXPECT_EQ(m.recent(), TerminalActivity::idle);
    m.feed("more output while ended?");
    EXPECT_EQ(m.recent(), TerminalActivity::idle);
    EXPECT_EQ(m.quiet(), TerminalActivity::idle) << "an ended command never needs input";

    m.feed("\x1b]133;C\a");
    EXPECT_EQ(m.recent(), TerminalActivity::working);

    for (std::string_view unchanged :
         {"\x1b]133;A\a", "\x1b]133;B\a", "\x1b]1337;D\a", "\x1b]7;file:///D\a", "\x1b]133;\a",
          "\x1b]\xff"
          "133;D\a"}) {
        m.feed(unchanged);
        EXPECT_EQ(m.recent(), TerminalActivity::working) << unchanged;
    }
}

TEST(StatusMonitorMarks, UnterminatedCommandIsBoundedAndMarksStillWork) {
    Monitor m;
    std::string flood = "\x1b]0;";
    flood.append(1 << 20, 'x');
    m.feed(flood);
    m.feed("\a");
    EXPECT_EQ(m.tail(), "");
    // A mark that follows a huge command is recognised: the buffer restarts per command.
    m.feed("\x1b]133;D;1\a");
    EXPECT_EQ(m.recent(), TerminalActivity::idle);
    // A mark whose payload continues far beyond the bound is still recognised by its start.
    std::string longMark = "\x1b]133;C;";
    longMark.append(10000, 'y');
    longMark += "\a";
    m.feed(longMark);
    EXPECT_EQ(m.recent(), TerminalActivity::working);
}

TEST(StatusMonitorStatus, QuietLastLineDecidesBetweenNeedsInputAndIdle) {
    using A = TerminalActivity;
    struct Case {
        const char* name;
        std::string output;
        std::vector<std::string> patterns;
        A expected;
    };
    const std::vector<Case> cases = {
        {"question with trailing spaces and empty lines", "Proceed?  \n\n", {}, A::needsInput},
        {"only the last line counts", "Proceed?\ndone\n", {}, A::idle},
        {"last line of spaces", "Proceed?\n   ", {}, A::idle},
        {"tab and no-break space trimmed", "Sure?\t\xc2\xa0", {}, A::needsInput},
        {"pattern ignores case", "press enter to continue", {"Press ENTER"}, A::needsInput},
        {"pattern with non-ascii letters",
         "\u00dcBERSCHREIBEN [j/n]",
         {"\u00fcberschreiben"},
         A::needsInput},
        {"no pattern matches", "compiling", {"(y/n)"}, A::idle},
        {"nothing printed", "\x1b[2J", {"x"}, A::idle},
        {"line of line feeds only", "\n\n", {}, A::idle},
    };
    for (const auto& c : cases) {
        Monitor m(config(1024, c.patterns));
        m.feed(c.output);
        EXPECT_EQ(m.quiet(), c.expected) << c.name;
        EXPECT_EQ(m.recent(), TerminalActivity::working) << c.name;
    }
    Monitor unknown;
    EXPECT_EQ(unknown.quiet(), TerminalActivity::idle);
}

TEST(StatusMonitorStatus, PollingDecodesOncePerTailChange) {
    Monitor m;
    m.feed("Continue?");
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(m.quiet(), TerminalActivity::needsInput);
    }
    EXPECT_EQ(m.monitor.tailDecodeCount(), 1);
    m.feed("\x1b[K", t0); // no tail change: the verdict stays cached
    EXPECT_EQ(m.quiet(), TerminalActivity::needsInput);
    EXPECT_EQ(m.monitor.tailDecodeCount(), 1);
    m.feed(" y\n$ ", t0);
    EXPECT_EQ(m.quiet(), TerminalActivity::idle);
    EXPECT_EQ(m.monitor.tailDecodeCount(), 2);
}

TEST(StatusMonitorLifecycle, NoteClosedForgetsAndALaterChunkStartsFresh) {
    Monitor m;
    m.feed("x\x1b]133;D\a\x1b]0;half");
    m.monitor.noteClosed(m.id);
    EXPECT_FALSE(m.monitor.tail(m.id));
    m.feed("y\a");
    EXPECT_EQ(m.tail(), "y") << "the half-read command must not carry over";
    EXPECT_EQ(m.bells.size(), 1u);
    EXPECT_EQ(m.recent(), TerminalActivity::working);
}

TEST(StatusMonitorAggregate, FoldsActivitiesIntoASessionStatus) {
    using A = TerminalActivity;
    EXPECT_EQ(StatusMonitor::aggregate({}), SessionStatus::idle);
    EXPECT_EQ(StatusMonitor::aggregate({A::working, A::needsInput}), SessionStatus::needsInput);
    EXPECT_EQ(StatusMonitor::aggregate({A::idle, A::working}), SessionStatus::running);
    EXPECT_EQ(StatusMonitor::aggregate({A::idle, A::idle}), SessionStatus::idle);
}

TEST(CommandActivity, FollowsSubmissionAndFinishTimes) {
    EXPECT_EQ(commandActivity(std::nullopt, t0, t0, 5), TerminalActivity::idle);
    EXPECT_EQ(commandActivity(t0, t0, t0 + 1s, 5), TerminalActivity::idle);
    EXPECT_EQ(commandActivity(t0, t0 - 1s, t0 + 1s, 5), TerminalActivity::working);
    EXPECT_EQ(commandActivity(t0, std::nullopt, t0 + 4s, 5), TerminalActivity::working);
    EXPECT_EQ(commandActivity(t0, std::nullopt, t0 + 5s, 5), TerminalActivity::idle);
}
