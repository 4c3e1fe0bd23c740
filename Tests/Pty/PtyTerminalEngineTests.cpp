#include "OrvexPty/PtyTerminalEngine.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "Support/ProcessProbe.hpp"
#include "Support/RunUntil.hpp"

#include "OrvexCore/Terminal/TerminalController.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexCore;
using OrvexPty::PtyTerminalEngine;

namespace {

/// Real shells in pseudo-terminals under a controller, each one's output kept whole.
class PtyEndToEnd : public ::testing::Test {
protected:
    PtyEndToEnd() : worktree(repo.addWorktree(scratch / "worktree", "feature")) {
        PtyTerminalEngine::Options options;
        options.shell = "/bin/bash";
        options.shellArguments = {"--norc", "--noprofile"};
        options.terminateGraceSeconds = 1.0;
        options.onOutput = [this](const UUID& id, std::string_view bytes) {
            transcripts[id].append(bytes);
            deliveries[id].push_back(bytes.size());
        };
        auto owned = std::make_unique<PtyTerminalEngine>(io.get_executor(), options);
        engine = owned.get();
        controller = std::make_shared<TerminalController>(io.get_executor(), std::move(owned));
    }

    ~PtyEndToEnd() override {
        if (controller) {
            controller->closeAllTerminals();
            runUntil([this] { return engine->liveProcessCount() == 0; });
        }
    }

    bool runUntil(const std::function<bool()>& done) {
        return OrvexTest::runUntil(io, done, std::chrono::seconds(30));
    }

    bool contains(const UUID& id, std::string_view text) {
        return transcripts[id].find(text) != std::string::npos;
    }

    OrvexTest::TempDir scratch;
    OrvexTest::TempGitRepo repo;
    boost::asio::io_context io;
    std::map<UUID, std::string> transcripts;
    std::map<UUID, std::vector<std::size_t>> deliveries;
    std::string worktree;
    PtyTerminalEngine* engine = nullptr;
    std::shared_ptr<TerminalController> controller;
};

} // namespace

TEST_F(PtyEndToEnd, AGridOfRealShellsRunsInTheWorktreeAndEndsWhole) {
    Session session;
    session.worktreePath = worktree;
    session.gridRows = 2;
    session.gridCols = 2;
    // Typed into every terminal: keeps the user's history file out of the test, and shows
    // each shell's folder.
    session.initialCommand = "unset HISTFILE; pwd";
    std::vector<UUID> exits;
    controller->onTerminalExit = [&](const TerminalRef& ref, auto) { exits.push_back(ref.id); };

    controller->openOrFocusGrid(session);
    ASSERT_TRUE(runUntil([&] { return controller->terminals(session.id).size() == 4; }));
    const std::vector<TerminalRef> refs = controller->terminals(session.id);
    EXPECT_EQ(controller->layout(session.id),
              (TerminalLayout{{refs[0].id, refs[1].id}, {refs[2].id, refs[3].id}}));
    for (const auto& ref : refs) {
        ASSERT_TRUE(runUntil([&] { return contains(ref.id, worktree + "\r\n"); }))
            << "each shell runs in the worktree: " << transcripts[ref.id];
    }
    std::vector<long> shells;
    for (const auto& ref : refs) {
        ASSERT_TRUE(ref.handle->processID());
        shells.push_back(static_cast<long>(*ref.handle->processID()));
    }

    // A job in the foreground of one shell, to be stopped with it. Its echo shows the write
    // finished, so the close below does not meet a write still under way.
    refs[2].handle->send("sleep 300\n");
    std::vector<OrvexTest::ChildInfo> sleepers;
    ASSERT_TRUE(runUntil([&] {
        sleepers = OrvexTest::childProcesses(static_cast<pid_t>(shells[2]));
        return contains(refs[2].id, "sleep 300") && !sleepers.empty();
    }));

    // Closing the session's terminals leaves nothing running, the foreground sleep included,
    // and every shell reaped.
    controller->closeAll(session.id);
    ASSERT_TRUE(runUntil([&] { return engine->liveProcessCount() == 0; }));
    for (const long pid : shells) {
        errno = 0;
        EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), -1) << pid;
        EXPECT_EQ(errno, ESRCH) << "reaped, not a zombie: " << pid;
    }
    ASSERT_TRUE(runUntil([&] {
        return std::none_of(sleepers.begin(), sleepers.end(),
                            [](const auto& sleeper) { return OrvexTest::isRunning(sleeper.pid); });
    }));
    EXPECT_TRUE(exits.empty()) << "closing reports no exit";
}

TEST_F(PtyEndToEnd, TerminalsGetExactlyTheGivenEnvironmentAndFolder) {
    const std::map<std::string, std::string> environment = {
        {"PATH", "/usr/bin:/bin"}, {"ORVEX_PROBE", "one two"}, {"HISTFILE", "/dev/null"}};
    auto handle = engine->makeTerminal(worktree, "env; echo END-OF-''ENV", environment);
    int exits = 0;
    handle->onExit = [&](std::optional<std::int32_t>) { ++exits; };
    ASSERT_TRUE(runUntil([&] { return contains(handle->id(), "END-OF-ENV\r\n"); }));
    const std::string& transcript = transcripts[handle->id()];
    EXPECT_NE(transcript.find("ORVEX_PROBE=one two"), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("HOME="), std::string::npos) << "no variable beyond the given ones";
    // Input still being written when the terminal closes: its write ends after the close.
    handle->send("echo late\n");
    handle->send("echo later\n");
    handle->terminate();
    handle->terminate();
    ASSERT_TRUE(runUntil([&] { return engine->liveProcessCount() == 0; }));
    EXPECT_EQ(exits, 0) << "a terminated terminal reports nothing";
}

TEST_F(PtyEndToEnd, OutputWaitingInTheTerminalIsDeliveredAsOnePiece) {
    // A read of a terminal gives at most 4095 bytes; what waits beyond that goes with it. (A
    // held terminal takes 12 to 19 KiB before its writer blocks, by how the writes are cut.)
    const auto written = scratch / "written";
    auto handle = engine->makeTerminal(
        worktree,
        "stty -echo; printf 're''ady'; read x; printf 'he''ld'; read y; head -c 6000 /dev/zero "
        "| tr '\\0' x; touch '" +
            written + "'",
        {});
    ASSERT_TRUE(runUntil([&] { return contains(handle->id(), "ready"); }));
    PtyTerminalEngine::holdOutput(*handle, true);
    handle->send("\n");
    // The read under way when the hold began brings "held"; then nothing is read.
    ASSERT_TRUE(runUntil([&] { return contains(handle->id(), "held"); }));
    handle->send("\n");
    ASSERT_TRUE(runUntil([&] { return std::filesystem::exists(written); }));
    const std::size_t before = deliveries[handle->id()].size();
    PtyTerminalEngine::holdOutput(*handle, false);
    ASSERT_TRUE(runUntil([&] { return contains(handle->id(), std::string(6000, 'x')); }));
    EXPECT_GE(deliveries[handle->id()].at(before), 6000u);
}

TEST_F(PtyEndToEnd, AShellIgnoringTheHangUpIsKilled) {
    auto handle = engine->makeTerminal(
        worktree, "trap '' HUP TERM; echo TRAPPED; while :; do sleep 0.2; done", {});
    ASSERT_TRUE(runUntil([&] { return contains(handle->id(), "TRAPPED\r\n"); }));
    const long pid = static_cast<long>(*handle->processID());
    handle.reset(); // the last reference: releasing the handle stops the terminal
    ASSERT_TRUE(runUntil([&] { return engine->liveProcessCount() == 0; }));
    EXPECT_FALSE(OrvexTest::isRunning(static_cast<pid_t>(pid)));
}

TEST_F(PtyEndToEnd, AFolderThatCannotBeEnteredIsReportedAsAnExit) {
    auto handle = engine->makeTerminal(scratch / "missing", std::nullopt, {});
    std::optional<std::optional<std::int32_t>> exit;
    handle->onExit = [&](std::optional<std::int32_t> code) { exit = code; };
    ASSERT_TRUE(runUntil([&] { return exit.has_value(); }));
    EXPECT_EQ(*exit, 126);
    EXPECT_TRUE(contains(handle->id(), "cannot enter")) << "the output before the exit arrives";
}

TEST(PtyTerminalEngine, ChoosesTheShell) {
    boost::asio::io_context io;
    PtyTerminalEngine plain(io.get_executor(), {});
    EXPECT_EQ(plain.shellFor({{"SHELL", "/bin/zsh"}}), "/bin/zsh");
    EXPECT_EQ(plain.shellFor({{"SHELL", ""}}), "/bin/sh");
    EXPECT_EQ(plain.shellFor({}), "/bin/sh");
    PtyTerminalEngine::Options options;
    options.shell = "/bin/dash";
    PtyTerminalEngine chosen(io.get_executor(), options);
    EXPECT_EQ(chosen.shellFor({{"SHELL", "/bin/zsh"}}), "/bin/dash");
}
