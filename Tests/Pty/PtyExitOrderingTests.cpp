#include "OrvexPty/PtyTerminalEngine.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "Support/RunUntil.hpp"

#include "OrvexCore/Terminal/TerminalHandle.hpp"

using OrvexCore::UUID;
using OrvexPty::PtyTerminalEngine;
using OrvexTest::runUntil;

// The exit and the last output of a program become ready in the same turn of the event loop;
// whichever the loop serves first, the exit must be reported after every byte. The race is
// lost only now and then, so one test runs many short programs, a few at a time.
TEST(PtyExitOrdering, EveryByteWrittenBeforeTheExitIsDeliveredBeforeIt) {
    boost::asio::io_context io;
    std::map<UUID, std::string> transcripts;
    PtyTerminalEngine::Options options;
    options.shell = "/bin/sh";
    options.shellArguments = {"-c", "head -c 20000 /dev/zero | tr '\\0' x; printf END-MARK"};
    options.onOutput = [&](const UUID& id, std::string_view bytes) {
        transcripts[id].append(bytes);
    };
    PtyTerminalEngine engine(io.get_executor(), options);

    constexpr int runs = 120;
    constexpr int atOnce = 4;
    int started = 0;
    int finished = 0;
    std::vector<std::string> incomplete;
    std::vector<std::shared_ptr<OrvexCore::TerminalHandle>> live;
    while (finished < runs) {
        while (started < runs && started - finished < atOnce) {
            auto handle = engine.makeTerminal("/", std::nullopt, {{"PATH", "/usr/bin:/bin"}});
            const UUID id = handle->id();
            handle->onExit = [&, id](std::optional<std::int32_t> code) {
                const std::string& seen = transcripts[id];
                if (code != 0 || seen.size() != 20000 + 8 || !seen.ends_with("END-MARK")) {
                    incomplete.push_back(std::to_string(seen.size()) + " bytes, ends '" +
                                         seen.substr(seen.size() > 8 ? seen.size() - 8 : 0) + "'");
                }
                ++finished;
            };
            live.push_back(std::move(handle));
            ++started;
        }
        const int before = finished;
        ASSERT_TRUE(runUntil(io, [&] { return finished > before; }));
    }
    EXPECT_TRUE(incomplete.empty())
        << incomplete.size() << " of " << runs
        << " exits came before the output, first: " << incomplete.front();
    for (auto& handle : live) {
        handle->terminate();
    }
    ASSERT_TRUE(runUntil(io, [&] { return engine.liveProcessCount() == 0; }));
}
