// The monitor keeps the state of the terminal that wrote last outside its map between
// chunks. Output of several terminals interleaved, terminals closed while held, and bell
// callbacks that feed or close terminals mid-chunk must see the same states as before.

#include "OrvexCore/Status/StatusMonitor.hpp"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace OrvexCore;
using namespace std::chrono_literals;

namespace {

StatusMonitor::Config config() {
    return StatusMonitor::Config{1.0, 64, {"continue?"}};
}

std::string tailOf(const StatusMonitor& monitor, const UUID& id) {
    return std::string(monitor.tail(id).value_or("<none>"));
}

} // namespace

TEST(StatusMonitorInterleaving, TerminalsKeepTheirOwnStateWhateverOrderTheyWriteAndClose) {
    StatusMonitor monitor(config());
    const UUID a;
    const UUID b;
    const auto t0 = StatusMonitor::Clock::now();
    monitor.ingest(a, "a1\r\n", t0);
    monitor.ingest(b, "b1 \x1b[3", t0);
    monitor.ingest(a, "a2 \x1b]133;D;0", t0);
    monitor.ingest(b, "1mb2", t0);
    monitor.ingest(a,
                   "\x07"
                   "a3",
                   t0);
    EXPECT_EQ(tailOf(monitor, a), "a1\na2 a3");
    EXPECT_EQ(tailOf(monitor, b), "b1 b2");
    EXPECT_EQ(monitor.status(a, t0 + 10ms), TerminalActivity::idle) << "command finished";
    EXPECT_EQ(monitor.status(b, t0 + 10ms), TerminalActivity::working);

    // Closing the terminal that wrote last, then the other one.
    monitor.noteClosed(a);
    EXPECT_EQ(tailOf(monitor, a), "<none>");
    EXPECT_EQ(monitor.status(a, t0), TerminalActivity::idle);
    EXPECT_EQ(tailOf(monitor, b), "b1 b2");
    monitor.ingest(a, "fresh", t0);
    EXPECT_EQ(tailOf(monitor, a), "fresh");
    EXPECT_EQ(monitor.status(a, t0), TerminalActivity::working) << "the mark went with it";
    monitor.noteClosed(b);
    EXPECT_EQ(tailOf(monitor, b), "<none>");
    EXPECT_EQ(tailOf(monitor, a), "fresh");
}

TEST(StatusMonitorInterleaving, BellCallbacksThatFeedOrCloseTerminalsLeaveTheScannedChunkLast) {
    const UUID self;
    const UUID other;
    struct Case {
        const char* name;
        std::function<void(StatusMonitor&)> callback;
        std::string otherTail;
    };
    const std::vector<Case> cases = {
        {"closes its own terminal", [&](StatusMonitor& m) { m.noteClosed(self); }, "o"},
        {"feeds its own terminal", [&](StatusMonitor& m) { m.ingest(self, "zz", {}); }, "o"},
        {"feeds the other terminal", [&](StatusMonitor& m) { m.ingest(other, "x", {}); }, "ox"},
        {"feeds its own, then the other",
         [&](StatusMonitor& m) {
             m.ingest(self, "zz", {});
             m.ingest(other, "y", {});
         },
         "oy"},
        {"closes the other", [&](StatusMonitor& m) { m.noteClosed(other); }, "<none>"},
    };
    for (const auto& c : cases) {
        StatusMonitor monitor(config());
        const auto t0 = StatusMonitor::Clock::now();
        monitor.ingest(other, "o", t0);
        monitor.ingest(self, "before ", t0);
        bool rang = false;
        monitor.onBell = [&](const UUID&) {
            if (!rang) {
                rang = true;
                c.callback(monitor);
            }
        };
        monitor.ingest(self, "one\x07two", t0);
        EXPECT_EQ(tailOf(monitor, self), "before onetwo") << c.name;
        EXPECT_EQ(tailOf(monitor, other), c.otherTail) << c.name;
        monitor.ingest(self, " three", t0);
        EXPECT_EQ(tailOf(monitor, self), "before onetwo three") << c.name;
        EXPECT_EQ(tailOf(monitor, other), c.otherTail) << c.name;
    }
}
