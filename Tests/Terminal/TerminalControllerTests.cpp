#include "OrvexCore/Terminal/TerminalController.hpp"

#include <cstdlib>
#include <set>

#include "OrvexCore/Terminal/TerminalLaunch.hpp"
#include "Terminal/ControllerFixture.hpp"

using namespace OrvexCore;
using OrvexTest::ControllerFixture;
using OrvexTest::FakeSurfaceHandle;

TEST(TerminalLaunch, ResolvesTheShellAndTheTextToType) {
    struct Case {
        std::optional<std::string> command;
        std::string shell;
        TerminalLaunch::Plan expected;
    };
    const std::vector<Case> cases = {
        {"  ls -la \n", "/bin/zsh", {"/bin/zsh", "ls -la\n"}},
        {"   ", "/bin/sh", {"/bin/sh", std::nullopt}},
        {std::nullopt, "/bin/sh", {"/bin/sh", std::nullopt}},
        {"make", "", {"", "make\n"}},
        {"echo a\necho b\r\n", "sh", {"sh", "echo a\necho b\n"}},
        {"\t\n", "sh", {"sh", std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TerminalLaunch::resolve(c.command, c.shell), c.expected)
            << c.command.value_or("<none>");
    }
}

TEST(TerminalEnvironment, DropsExactlyTheFourLoaderVariables) {
    const std::map<std::string, std::string> environment = {
        {"DYLD_INSERT_LIBRARIES", "/evil.dylib"},
        {"DYLD_LIBRARY_PATH", "x"},
        {"DYLD_FRAMEWORK_PATH", "y"},
        {"DYLD_FALLBACK_LIBRARY_PATH", "z"},
        {"DYLD_PRINT_STATISTICS", "1"},
        {"PATH", "/usr/bin"},
        {"dyld_insert_libraries", "kept"}};
    const std::map<std::string, std::string> expected = {
        {"DYLD_PRINT_STATISTICS", "1"}, {"PATH", "/usr/bin"}, {"dyld_insert_libraries", "kept"}};
    EXPECT_EQ(TerminalController::filterEnvironment(environment), expected);
}

TEST_F(ControllerFixture, TerminalsStartInTheWorktreeWithTheProcessEnvironment) {
    const Session s = session("/repo/.sessions/brave-fox");
    const TerminalRef ref = controller->openPrimary(s, "assistant");
    const auto made = handle(ref);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->cwd, "/repo/.sessions/brave-fox");
    EXPECT_EQ(made->command, "assistant");
    EXPECT_EQ(ref.sessionID, s.id);
    if (const char* path = std::getenv("PATH")) {
        EXPECT_EQ(made->environment.at("PATH"), path);
    }
    EXPECT_FALSE(made->environment.count("DYLD_INSERT_LIBRARIES"));

    const TerminalRef plain = controller->createAdditional(s);
    EXPECT_FALSE(handle(plain)->command) << "an additional terminal is a plain shell";
    EXPECT_EQ(handle(plain)->environment, made->environment);
    EXPECT_EQ(controller->terminals().get().size(), 2u);
}

TEST_F(ControllerFixture, FocusOrOpenStartsOnceThenFocusesTheNewest) {
    const Session s = session();
    const auto first = controller->focusOrOpen(s, "make");
    ASSERT_EQ(first.kind, TerminalController::OpenOutcome::Kind::opened);
    EXPECT_EQ(handle(first.terminal)->command, "make");
    const auto again = controller->focusOrOpen(s, "other");
    EXPECT_EQ(again.kind, TerminalController::OpenOutcome::Kind::focus);
    EXPECT_EQ(again.terminal.id, first.terminal.id);
    EXPECT_EQ(record->made.size(), 1u);
    EXPECT_FALSE(controller->focusedTerminalID().get());

    // Orders 3, 5 and 7 in one session (others interleaved); the newest wins, also after the
    // oldest was restarted in place.
    const Session t = session();
    const Session other = session();
    controller->openPrimary(other, std::nullopt);
    controller->openPrimary(other, std::nullopt);
    const auto three = controller->openPrimary(t, std::nullopt);
    controller->openPrimary(other, std::nullopt);
    const auto five = controller->openPrimary(t, std::nullopt);
    controller->openPrimary(other, std::nullopt);
    const auto seven = controller->openPrimary(t, std::nullopt);
    EXPECT_EQ(std::vector<std::int64_t>({three.order, five.order, seven.order}),
              std::vector<std::int64_t>({3, 5, 7}));
    controller->restart(three.id);
    EXPECT_EQ(controller->focusOrOpen(t, std::nullopt).terminal.id, seven.id);
    EXPECT_EQ(controller->terminals(t.id).front().order, 3);
}

TEST_F(ControllerFixture, GeneratedTitlesAreUniquePerSessionAndRenameTakesAnyText) {
    const Session s = session();
    std::set<std::string> titles;
    for (int i = 0; i < 20; ++i) {
        titles.insert(controller->createAdditional(s).title);
    }
    EXPECT_EQ(titles.size(), 20u);
    const auto& refs = controller->terminals(s.id);
    const UUID a = refs[0].id;
    const std::string bTitle = refs[1].title;
    controller->rename(a, bTitle);
    EXPECT_EQ(controller->terminals(s.id)[0].title, bTitle) << "the index must see the rename";
    controller->rename(a, "  ");
    EXPECT_EQ(controller->terminals(s.id)[0].title, "  ");
    controller->rename(UUID(), "nobody");
    EXPECT_TRUE(controller->terminals(UUID()).empty());
}

TEST_F(ControllerFixture, FocusFollowsTheTerminalThatGainedItLast) {
    const Session s = session();
    const auto a = handle(controller->openPrimary(s, std::nullopt));
    const auto b = handle(controller->createAdditional(s));
    std::vector<std::optional<UUID>> seen;
    auto connection = controller->focusedTerminalID().observe(
        [&](const std::optional<UUID>& id) { seen.push_back(id); });

    a->focus(true);
    a->focus(true);
    b->focus(true);
    a->focus(false); // a lost focus after b took it: b stays
    EXPECT_EQ(controller->focusedTerminalID().get(), b->identity);
    b->focus(false);
    EXPECT_FALSE(controller->focusedTerminalID().get());
    EXPECT_EQ(seen, (std::vector<std::optional<UUID>>{a->identity, b->identity, std::nullopt}))
        << "observers hear of real changes only";

    a->focus(true);
    controller->close(a->identity);
    EXPECT_FALSE(controller->focusedTerminalID().get()) << "closing the focused terminal";
    EXPECT_FALSE(a->onFocusChange);
}

TEST_F(ControllerFixture, ExitMarksTheRecordAndTellsOnce) {
    const Session s = session();
    const TerminalRef ref = controller->openPrimary(s, std::nullopt);
    const TerminalRef silent = controller->createAdditional(s);
    std::vector<std::pair<TerminalRef, std::optional<std::int32_t>>> exits;
    controller->onTerminalExit = [&](const TerminalRef& r, std::optional<std::int32_t> code) {
        exits.emplace_back(r, code);
    };
    handle(ref)->auxiliaryCallback = [](std::string_view) {};
    handle(ref)->exit(0);
    handle(silent)->exit(std::nullopt);

    ASSERT_EQ(exits.size(), 2u);
    EXPECT_EQ(exits[0].first.id, ref.id);
    EXPECT_TRUE(exits[0].first.isExited);
    EXPECT_EQ(exits[0].first.exitCode, 0);
    EXPECT_EQ(exits[0].second, 0);
    EXPECT_FALSE(exits[1].second);
    const auto& listed = controller->terminals(s.id);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0].isExited);
    EXPECT_EQ(listed[0].exitCode, 0);
    EXPECT_TRUE(listed[1].isExited);
    EXPECT_FALSE(listed[1].exitCode);
    EXPECT_EQ(handle(ref)->terminateCount, 1);
    EXPECT_FALSE(handle(ref)->auxiliaryCallback);
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{ref.id}, {silent.id}}))
        << "exited terminals stay in the layout";
}

TEST_F(ControllerFixture, LateExitsAndCallbacksAfterTheControllerAreIgnored) {
    const Session s = session();
    const auto ref = controller->openPrimary(s, std::nullopt);
    const auto h = handle(ref);
    auto exitCallback = h->onExit; // a report already under way when the terminal closes
    int exits = 0;
    controller->onTerminalExit = [&](const TerminalRef&, auto) { ++exits; };
    controller->close(ref.id);
    exitCallback(1);
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(controller->terminals().get().empty());

    const auto kept = handle(controller->openPrimary(s, std::nullopt));
    controller.reset();
    kept->exit(2);
    kept->focus(true);
    EXPECT_EQ(kept->terminateCount, 0) << "releasing the controller terminates nothing";
}

TEST_F(ControllerFixture, ExitCallbackMayCloseTheTerminal) {
    const Session s = session();
    const auto ref = controller->openPrimary(s, std::nullopt);
    controller->onTerminalExit = [this](const TerminalRef& r, auto) { controller->close(r.id); };
    handle(ref)->exit(9);
    EXPECT_TRUE(controller->terminals(s.id).empty());
}

TEST_F(ControllerFixture, RestartKeepsPlaceTitleAndOrderAndRewritesTheLayout) {
    const Session s = session();
    const auto a = controller->openPrimary(s, "npm test");
    const auto b = controller->createAdditional(s);
    const auto c = controller->createAdditional(s);
    controller->setLayout({{c.id, b.id}, {a.id}, {b.id}}, s.id);
    int exits = 0;
    controller->onTerminalExit = [&](const TerminalRef&, auto) { ++exits; };
    const auto oldHandle = handle(b);
    auto oldExit = oldHandle->onExit;
    oldHandle->exit(1);
    ASSERT_EQ(exits, 1);

    controller->restart(b.id);
    const auto& list = controller->terminals().get();
    ASSERT_EQ(list.size(), 3u);
    const TerminalRef& fresh = list[1];
    EXPECT_NE(fresh.id, b.id);
    EXPECT_EQ(fresh.title, b.title);
    EXPECT_EQ(fresh.order, b.order);
    EXPECT_FALSE(fresh.isExited);
    EXPECT_FALSE(fresh.exitCode);
    EXPECT_EQ(list[0].id, a.id);
    EXPECT_EQ(list[2].id, c.id);
    EXPECT_EQ(oldHandle->terminateCount, 2) << "once at exit, once at restart";
    EXPECT_FALSE(oldHandle->onExit);
    oldExit(0); // the old process's end arriving late
    EXPECT_EQ(exits, 1);
    // The stored layout had b twice; each row gets its first occurrence replaced.
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{c.id, fresh.id}, {a.id}, {fresh.id}}));

    const auto restartedA = controller->terminals(s.id)[0];
    controller->restart(a.id);
    EXPECT_EQ(handle(controller->terminals(s.id)[0])->command, "npm test");
    EXPECT_NE(controller->terminals(s.id)[0].id, restartedA.id);
    controller->restart(UUID());
    EXPECT_EQ(controller->terminals().get().size(), 3u);
}

TEST_F(ControllerFixture, CloseTearsDownEveryCallbackAndTheStatusSource) {
    const Session s = session();
    const auto ref = controller->openPrimary(s, std::nullopt);
    const auto h = handle(ref);
    h->auxiliaryCallback = [](std::string_view) {};
    h->source->onUpdate = [] {};
    controller->close(ref.id);
    EXPECT_FALSE(h->onExit);
    EXPECT_FALSE(h->auxiliaryCallback);
    EXPECT_FALSE(h->onFocusChange);
    EXPECT_FALSE(h->source->onUpdate);
    EXPECT_EQ(h->terminateCount, 1);
    controller->close(ref.id);
    EXPECT_EQ(h->terminateCount, 1);
}

TEST_F(ControllerFixture, CloseAllForgetsTheLayoutButCloseAllTerminalsKeepsThem) {
    const Session s = session();
    const Session t = session();
    const auto a = controller->openPrimary(s, std::nullopt);
    const auto b = controller->openPrimary(t, std::nullopt);
    const auto c = controller->createAdditional(t);
    controller->setLayout({{a.id}}, s.id);
    controller->setLayout({{c.id, b.id}}, t.id);

    controller->closeAll(s.id);
    EXPECT_EQ(handle(a)->terminateCount, 1);
    EXPECT_EQ(ids(t.id), (std::vector<UUID>{b.id, c.id}));
    const auto d = controller->createAdditional(s);
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{d.id}})) << "the old layout is gone";

    controller->closeAllTerminals();
    EXPECT_TRUE(controller->terminals().get().empty());
    EXPECT_EQ(handle(b)->terminateCount, 1);
    EXPECT_EQ(handle(d)->terminateCount, 1);
    // The stored layout survives: terminals carrying the ids it names are placed by it.
    record->reusedIdentities = {b.id, c.id};
    const auto b2 = controller->openPrimary(t, std::nullopt);
    const auto c2 = controller->createAdditional(t);
    EXPECT_EQ(b2.order, 4) << "nextOrder survives closeAllTerminals";
    EXPECT_EQ(controller->layout(t.id), (TerminalLayout{{c2.id, b2.id}}));
}

TEST_F(ControllerFixture, DeferredSuspendSkipsASessionThatCameBack) {
    const Session a = session();
    const Session b = session();
    auto surface = [this](const TerminalRef& ref) {
        return std::dynamic_pointer_cast<FakeSurfaceHandle>(handle(ref));
    };
    const auto ha = surface(controller->openPrimary(a, std::nullopt));
    const auto hb = surface(controller->openPrimary(b, std::nullopt));
    const auto exited = surface(controller->createAdditional(b));
    exited->exit(0);
    record->withSurfaces = false; // a handle that cannot suspend is skipped
    controller->createAdditional(b);

    controller->setActiveSession(a.id);
    controller->setActiveSession(b.id);
    controller->setActiveSession(a.id);
    controller->setActiveSession(a.id);
    EXPECT_EQ(ha->events, (std::vector<std::string>{"resume", "resume"}));
    EXPECT_EQ(hb->events, (std::vector<std::string>{"resume"}));
    drain();
    EXPECT_EQ(ha->events, (std::vector<std::string>{"resume", "resume"}));
    EXPECT_EQ(hb->events, (std::vector<std::string>{"resume", "suspend"}));
    EXPECT_TRUE(exited->events.empty()) << "exited terminals are neither suspended nor resumed";

    controller->setActiveSession(std::nullopt);
    controller.reset();
    drain(); // the deferred step must not touch a released controller
    EXPECT_EQ(ha->events.size(), 2u);
}

TEST_F(ControllerFixture, ObserversHearEveryChangeToTheTerminalList) {
    const Session s = session();
    std::vector<size_t> sizes;
    auto connection = controller->terminals().observe(
        [&](const std::vector<TerminalRef>& list) { sizes.push_back(list.size()); });
    const auto a = controller->openPrimary(s, std::nullopt);
    controller->createAdditional(s);
    controller->rename(a.id, "x");
    controller->close(a.id);
    controller->closeAll(s.id);
    controller->closeAll(s.id);
    EXPECT_EQ(sizes, (std::vector<size_t>{1, 2, 2, 1, 0}));
}
