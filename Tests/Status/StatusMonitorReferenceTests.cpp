// The monitor against a byte-at-a-time model of its scanner: whatever the chunking, the tail
// after every chunk, the bells and the command marks must be exactly the model's. The monitor
// copies runs lazily, keeps carriage returns inside runs and cuts the tail once per chunk, so
// these are the places where it could drift from the plain rule.
#include "OrvexCore/Status/StatusMonitor.hpp"

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "OrvexCore/Util/Text.hpp"
#include "Status/ScannerByteRule.hpp"

using namespace OrvexCore;
using namespace std::chrono_literals;

namespace {

/// Terminal traffic: text with CR LF line ends, lone carriage returns, colours, marks, bells,
/// broken sequences, UTF-8 and now and then arbitrary bytes.
std::string terminalStream(std::mt19937& random, size_t pieces) {
    // Separated by '|'.
    static const auto parts = OrvexCore::Text::split(
        "ls| -l |file.txt|\r\n|\r|\n|\x1b[0m|\x1b[01;34m|\x1b[38;5;208m|\x1b[2K|\x1b]0;title\x07|"
        "\x1b]133;D;0\x07|\x1b]133;C\x1b\\|\x1b]133;A\x07|\x07|\x1b|[|]|\x1b(B|caf\xC3\xA9|\t|\x08|"
        "\x1b[|\x1b]133;",
        '|', false);
    std::string stream;
    for (size_t i = 0; i < pieces; ++i) {
        const auto pick = random() % (parts.size() + 2);
        if (pick < parts.size()) {
            stream += parts[pick];
        } else if (pick == parts.size()) {
            stream += std::string(random() % 600, static_cast<char>('a' + random() % 26));
        } else {
            stream.push_back(static_cast<char>(random() % 256));
        }
    }
    return stream;
}

TEST(StatusMonitorReference, TailBellsAndMarksMatchTheByteRuleForAnyChunking) {
    std::mt19937 random(99);
    const auto t0 = StatusMonitor::Clock::now();
    for (std::int64_t maxTail : {0, 1, 4, 7, 64, 700, 4096}) {
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(testing::Message() << "maxTail " << maxTail << " round " << round);
            StatusMonitor monitor(StatusMonitor::Config{1.0, maxTail, {}});
            size_t bells = 0;
            monitor.onBell = [&bells](const UUID&) { ++bells; };
            OrvexTest::ScannerByteRule reference;
            const UUID id;
            const std::string stream = terminalStream(random, 400);
            size_t offset = 0;
            while (offset < stream.size()) {
                const size_t length = std::min<size_t>(
                    stream.size() - offset, random() % 4 == 0 ? random() % 8 : random() % 5000);
                const std::string_view chunk = std::string_view(stream).substr(offset, length);
                offset += length;
                if (chunk.empty()) {
                    continue; // creates no state; the empty-chunk rule is tested elsewhere
                }
                monitor.ingest(id, chunk, t0);
                reference.feed(chunk, static_cast<size_t>(maxTail));
                ASSERT_EQ(std::string(monitor.tail(id).value_or("")), reference.tail)
                    << "after byte " << offset;
                ASSERT_EQ(bells, reference.bells);
                ASSERT_EQ(monitor.status(id, t0 + 100ms) == TerminalActivity::idle,
                          reference.commandEnded);
            }
        }
    }
}

} // namespace
