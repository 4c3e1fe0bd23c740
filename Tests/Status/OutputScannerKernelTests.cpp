// Every scanning kernel the processor runs (portable, SSE2, AVX2, AVX-512) against a
// byte-at-a-time model of the scanner. Each kernel classifies 64-byte blocks with its own
// vector code and writes the tail through a ring, so the streams put escape sequences,
// payloads and carriage returns across block and chunk boundaries, and the limits make the
// ring wrap, grow and be cut mid-chunk.

#include "OrvexCore/Status/OutputScanner.hpp"

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "OrvexCore/Util/Text.hpp"
#include "Status/ScannerByteRule.hpp"

using namespace OrvexCore;

namespace {

/// Terminal traffic built to straddle 64-byte blocks: long and short printable runs with CR LF
/// ends, runs of carriage returns, colours, long parameter lists, marks with long payloads, bells,
/// stray escapes and arbitrary bytes.
std::string terminalStream(std::mt19937& random, size_t pieces) {
    // Separated by '|'. Last, carriage returns filling whole blocks, and every other byte of
    // one: the dropping copy compresses whole blocks at once.
    std::string everyOther;
    for (int i = 0; i < 70; ++i) {
        everyOther += "\rx";
    }
    const std::string joined =
        "\r\n|\r|\n|\x1b[0m|\x1b[01;34m|\x1b[" + std::string(90, ';') +
        "m|\x1b[2~|\x1b[?25h|\x1b[12;40H|\x1b[K|\x1b]0;" + std::string(150, 't') +
        "\x07|\x1b]133;D;0\x07|\x1b]133;C\x1b\\|\x1b]133;A\r\n\x07|\x07|\x1b|\x1b\x1b[|\x1b(B|"
        "caf\xC3\xA9|\t\x08\x0B\x0C|" +
        std::string(130, '\r') + "|" + everyOther;
    const auto parts = Text::split(joined, '|', false);
    std::string stream;
    for (size_t i = 0; i < pieces; ++i) {
        const auto pick = random() % (parts.size() + 3);
        if (pick < parts.size()) {
            stream += parts[pick];
        } else if (pick == parts.size()) {
            stream += std::string(random() % 200, static_cast<char>('a' + random() % 26));
        } else if (pick == parts.size() + 1) {
            for (auto n = random() % 150; n > 0; --n) {
                stream += n % 37 == 0 ? "\r\n" : std::string(1, static_cast<char>('A' + n % 26));
            }
        } else {
            stream.push_back(static_cast<char>(random() % 256));
        }
    }
    return stream;
}

} // namespace

TEST(OutputScannerKernels, EveryKernelFollowsTheByteRuleAcrossBlocksChunksAndCuts) {
    const auto kernels = OutputScanner::kernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_EQ(kernels.front(), OutputScanner::Kernel::portable);
    EXPECT_NE(std::find(kernels.begin(), kernels.end(), OutputScanner::best()), kernels.end());
    for (const auto kernel : kernels) {
        std::mt19937 random(1234);
        for (size_t limit : {0u, 1u, 63u, 64u, 100u, 700u, 4096u}) {
            for (int round = 0; round < 4; ++round) {
                SCOPED_TRACE(testing::Message() << "kernel " << static_cast<int>(kernel)
                                                << ", limit " << limit << ", round " << round);
                OutputScanner scanner;
                size_t bells = 0;
                const OutputScanner::Bell bell{[](void* count) { ++*static_cast<size_t*>(count); },
                                               &bells};
                OrvexTest::ScannerByteRule rule;
                const std::string stream = terminalStream(random, 300);
                for (size_t offset = 0; offset < stream.size();) {
                    const size_t size = std::min<size_t>(stream.size() - offset,
                                                         random() % 3 == 0 ? random() % 130 + 1
                                                                           : random() % 6000 + 1);
                    const std::string_view chunk = std::string_view(stream).substr(offset, size);
                    offset += size;
                    const std::string before = rule.tail;
                    rule.feed(chunk, limit);
                    const bool changed = scanner.scan(
                        {reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()}, limit,
                        bell, kernel);
                    ASSERT_EQ(std::string(scanner.tail.view()), rule.tail) << "after " << offset;
                    ASSERT_LE(scanner.tail.size(), 2 * limit);
                    ASSERT_EQ(bells, rule.bells);
                    ASSERT_EQ(scanner.commandEnded, rule.commandEnded);
                    if (!changed) {
                        ASSERT_EQ(rule.tail, before) << "a changed tail must be reported";
                    }
                }
            }
        }
    }
}

TEST(OutputScannerKernels, TailSurvivesLongRunsThroughASmallRingViewedBetweenChunks) {
    // A 100-byte limit keeps a ring of a few hundred bytes: megabytes of output wrap it
    // thousands of times, and viewing the text between chunks straightens it each time.
    for (const auto kernel : OutputScanner::kernels()) {
        OutputScanner scanner;
        std::string expected;
        std::string text;
        for (int i = 0; i < 20000; ++i) {
            text += static_cast<char>('a' + i % 26);
            if (i % 61 == 0) {
                text += "\r\n";
            }
        }
        for (size_t round = 0; round < 200; ++round) {
            const size_t size = 1 + (round * 7919) % text.size();
            const std::string_view chunk = std::string_view(text).substr(0, size);
            scanner.scan({reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()}, 100,
                         {}, kernel);
            for (char c : chunk) {
                if (c != '\r') {
                    expected += c;
                }
            }
            if (expected.size() > 200) {
                expected.erase(0, expected.size() - 100);
            }
            if (round % 3 == 0) {
                ASSERT_EQ(std::string(scanner.tail.view()), expected)
                    << "kernel " << static_cast<int>(kernel) << ", round " << round;
            }
        }
        EXPECT_EQ(std::string(scanner.tail.view()), expected);
    }
}
