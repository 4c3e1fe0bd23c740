// Carriage returns are dropped from the tail by a copy that works on 64-byte blocks of the
// chunk: these cases put them where blocks meet, crowd them into one block, start and end
// chunks with them and make the tail cut fall inside runs of them, with and without escape
// sequences splitting the runs.

#include "OrvexCore/Status/StatusMonitor.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace OrvexCore;

namespace {

/// Printable text of `size` bytes ('a' to 'z' in turn) with a carriage return at each of
/// `returns` (line feeds after some of them, as a terminal writes line ends).
std::string textWithReturns(size_t size, const std::vector<size_t>& returns) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    for (size_t at : returns) {
        if (at < size) {
            text[at] = '\r';
            if (at + 1 < size && at % 3 == 0) {
                text[at + 1] = '\n';
            }
        }
    }
    return text;
}

/// The tail the monitor must keep: carriage returns and colour sequences left out, cut to
/// `limit` once it passes twice that, after each chunk.
std::string expectedTail(const std::vector<std::string>& chunks, size_t limit) {
    std::string tail;
    for (const auto& chunk : chunks) {
        for (size_t i = 0; i < chunk.size(); ++i) {
            if (chunk[i] == '\x1b') {
                i = chunk.find('m', i);
            } else if (chunk[i] != '\r') {
                tail += chunk[i];
            }
        }
        if (tail.size() > 2 * limit) {
            tail.erase(0, tail.size() - limit);
        }
    }
    return tail;
}

} // namespace

TEST(StatusMonitorCarriageReturns, TailDropsThemWhereverTheyFallInTheChunk) {
    std::vector<size_t> crowded;
    for (size_t i = 64; i < 128; i += 2) {
        crowded.push_back(i);
    }
    std::vector<size_t> everyByte;
    for (size_t i = 128; i < 192; ++i) {
        everyByte.push_back(i);
    }
    struct Case {
        const char* name;
        std::vector<size_t> returns;
    };
    const std::vector<Case> cases = {
        {"none", {}},
        {"where blocks meet", {0, 63, 64, 127, 128, 191, 255, 256, 4095}},
        {"every other byte of one block", crowded},
        {"every byte of one block", everyByte},
        {"one per line", {70, 141, 212, 283, 354, 425, 496, 567, 638, 709, 780, 851}},
    };
    for (const auto& c : cases) {
        for (size_t size : {1u, 63u, 64u, 65u, 300u, 4096u, 5000u}) {
            const std::string text = textWithReturns(size, c.returns);
            const std::string coloured = "\x1b[01;32m" + text + "\x1b[0m" + text;
            for (std::int64_t limit : {0, 1, 40, 100, 1000, 4096}) {
                for (const auto& chunks : std::vector<std::vector<std::string>>{
                         {text}, {text, text, text}, {coloured, text}, {text, coloured}}) {
                    StatusMonitor monitor(StatusMonitor::Config{1.0, limit, {}});
                    const UUID id;
                    for (const auto& chunk : chunks) {
                        monitor.ingest(id, chunk, StatusMonitor::Clock::now());
                    }
                    EXPECT_EQ(monitor.tail(id).value_or(""),
                              expectedTail(chunks, static_cast<size_t>(limit)))
                        << c.name << ", " << size << " bytes, limit " << limit << ", "
                        << chunks.size() << " chunks";
                }
            }
        }
    }
}
