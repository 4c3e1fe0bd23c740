#include "OrvexCore/Terminal/TerminalController.hpp"

#include "Terminal/ControllerFixture.hpp"

using namespace OrvexCore;
using OrvexTest::ControllerFixture;

namespace {

const UUID a, b, c, d, e;

} // namespace

TEST(TerminalGridPartialLayout, FillsRowByRow) {
    struct Case {
        std::vector<UUID> ids;
        TerminalGridShape shape;
        TerminalLayout expected;
    };
    const std::vector<Case> cases = {
        {{a, b, c, d, e}, {2, 0, 2, 2}, {{a, b}, {}, {c, d}, {e}}},
        {{a}, {3, 3}, {{a}}},
        {{a, b}, {1, -4, 2}, {{a}, {}, {b}}},
        {{a, b, c}, {}, {}},
        {{}, {2, 2}, {}},
        {{a, b}, {2, 0}, {{a, b}}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(TerminalController::buildPartialGridLayout(cases[i].ids, cases[i].shape),
                  cases[i].expected)
            << "case " << i;
    }
}

TEST_F(ControllerFixture, GridGrowsOneTerminalPerTurnRowByRow) {
    const Session s = session();
    std::vector<UUID> layoutChanges;
    controller->onLayoutChange = [&](const UUID& id) { layoutChanges.push_back(id); };
    const TerminalRef first = controller->openGrid(s, 2, 3, "agent");
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{first.id}}));
    EXPECT_EQ(record->made.size(), 1u) << "only the first terminal starts at once";
    EXPECT_TRUE(controller->isOpeningGrid(s.id));

    size_t previous = 1;
    while (turn()) {
        const auto refs = ids(s.id);
        ASSERT_LE(refs.size(), previous + 1) << "at most one terminal per turn";
        previous = refs.size();
        EXPECT_EQ(controller->layout(s.id),
                  TerminalController::buildPartialGridLayout(refs, {3, 3}));
    }
    const auto& refs = controller->terminals(s.id);
    ASSERT_EQ(refs.size(), 6u);
    for (size_t i = 1; i < refs.size(); ++i) {
        EXPECT_LT(refs[i - 1].order, refs[i].order);
    }
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{refs[0].id, refs[1].id, refs[2].id},
                                                        {refs[3].id, refs[4].id, refs[5].id}}));
    for (const auto& made : record->made) {
        EXPECT_EQ(made->command, "agent");
        EXPECT_EQ(made->cwd, s.worktreePath);
    }
    EXPECT_FALSE(controller->isOpeningGrid(s.id));
    EXPECT_EQ(layoutChanges.size(), 6u);
}

TEST_F(ControllerFixture, DegenerateGridOpensOneTerminalWithoutATask) {
    const Session s = session();
    controller->openPrimary(s, std::nullopt);
    const TerminalRef only = controller->openGrid(s, 0, -3, std::nullopt);
    EXPECT_FALSE(controller->isOpeningGrid(s.id));
    drain();
    EXPECT_EQ(ids(s.id), std::vector<UUID>{only.id}) << "the earlier terminal was closed";
    EXPECT_EQ(record->made.front()->terminateCount, 1);
}

TEST_F(ControllerFixture, OpenOrFocusGridUsesTheSavedShapeAndTitles) {
    Session s = session();
    s.gridLayout = std::vector<int>{1, 3};
    s.gridTitles = std::vector<std::string>{"editor", "tests"};
    s.initialCommand = "assistant";
    const auto outcome = controller->openOrFocusGrid(s);
    ASSERT_EQ(outcome.kind, TerminalController::OpenOutcome::Kind::opened);
    EXPECT_EQ(outcome.terminal.title, "editor");
    drain();
    const auto& refs = controller->terminals(s.id);
    ASSERT_EQ(refs.size(), 4u);
    EXPECT_EQ(refs[1].title, "tests");
    EXPECT_FALSE(refs[2].title.empty());
    EXPECT_NE(refs[2].title, refs[3].title);
    EXPECT_EQ(controller->layout(s.id),
              (TerminalLayout{{refs[0].id}, {refs[1].id, refs[2].id, refs[3].id}}));
    EXPECT_EQ(*record->made.back()->command, "assistant");

    const auto again = controller->openOrFocusGrid(s);
    EXPECT_EQ(again.kind, TerminalController::OpenOutcome::Kind::focus);
    EXPECT_EQ(again.terminal.id, refs[3].id);
    EXPECT_EQ(record->made.size(), 4u);
}

TEST_F(ControllerFixture, OpenOrFocusGridChoosesItsShape) {
    struct Case {
        std::optional<std::vector<int>> gridLayout;
        int rows;
        int cols;
        size_t terminals;
        size_t rowsOpened;
    };
    const std::vector<Case> cases = {
        {std::vector<int>{}, 2, 2, 4, 2},      // empty saved layout: rows x cols
        {std::nullopt, 0, -1, 1, 1},           // sizes below 1 count as 1
        {std::vector<int>{0, 0}, 3, 3, 1, 1},  // a saved shape of nothing opens one terminal
        {std::vector<int>{-2, 2}, 1, 1, 2, 1}, // negative sizes count as 0
    };
    for (const auto& c : cases) {
        Session s = session();
        s.gridLayout = c.gridLayout;
        s.gridRows = c.rows;
        s.gridCols = c.cols;
        controller->openOrFocusGrid(s);
        drain();
        EXPECT_EQ(controller->terminals(s.id).size(), c.terminals);
        EXPECT_EQ(controller->layout(s.id).size(), c.rowsOpened);
    }
}

TEST_F(ControllerFixture, ASecondGridOpenReplacesTheFirst) {
    const Session s = session();
    controller->openGrid(s, 2, 3, std::nullopt);
    turn();
    turn();
    turn();
    const auto firstGrid = record->made;
    ASSERT_GE(firstGrid.size(), 2u);
    ASSERT_LT(firstGrid.size(), 6u);

    const TerminalRef second = controller->openGrid(s, 2, 2, "second");
    for (const auto& h : firstGrid) {
        EXPECT_EQ(h->terminateCount, 1) << "the first grid's terminals are closed";
    }
    // Run until the second grid is half open: by then the first task, queued earlier, has
    // seen its cancellation and finished, and its finishing must leave the new entry alone.
    while (controller->terminals(s.id).size() < 2 && turn()) {
    }
    ASSERT_EQ(controller->terminals(s.id).size(), 2u);
    EXPECT_TRUE(controller->isOpeningGrid(s.id));
    drain();
    const auto& refs = controller->terminals(s.id);
    ASSERT_EQ(refs.size(), 4u);
    EXPECT_EQ(refs[0].id, second.id);
    for (const auto& ref : refs) {
        EXPECT_EQ(handle(ref)->command, "second");
    }
    EXPECT_EQ(record->made.size(), firstGrid.size() + 4) << "the first grid opened no more";
    EXPECT_FALSE(controller->isOpeningGrid(s.id));
}

TEST_F(ControllerFixture, ClosingATerminalOfAnOpeningGridStopsIt) {
    const Session s = session();
    const Session other = session();
    controller->openGrid(other, 1, 3, std::nullopt);
    const TerminalRef first = controller->openGrid(s, 3, 3, std::nullopt);
    while (controller->terminals(s.id).size() < 3 && turn()) {
    }
    const auto opened = ids(s.id);
    controller->close(opened[1]);
    EXPECT_FALSE(controller->isOpeningGrid(s.id));
    drain();
    EXPECT_EQ(ids(s.id), (std::vector<UUID>{opened[0], opened[2]}))
        << "no further terminal opens and the others stay";
    EXPECT_EQ(ids(other.id).size(), 3u) << "another session's grid is unaffected";
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{first.id, opened[2]}}));
}

TEST_F(ControllerFixture, CloseAllTerminalsStopsEveryGridOpen) {
    const Session s = session();
    const Session t = session();
    controller->openGrid(s, 2, 2, std::nullopt);
    controller->openGrid(t, 2, 2, std::nullopt);
    controller->closeAllTerminals();
    drain();
    EXPECT_TRUE(controller->terminals().get().empty());
    EXPECT_EQ(record->made.size(), 2u);
}

TEST_F(ControllerFixture, AReleasedControllerEndsItsGridOpen) {
    const Session s = session();
    controller->openGrid(s, 4, 4, std::nullopt);
    turn();
    const size_t made = record->made.size();
    controller.reset();
    drain();
    EXPECT_EQ(record->made.size(), made);
}

TEST_F(ControllerFixture, LayoutIsReconciledWithTheLiveTerminals) {
    const Session s = session();
    const auto ta = controller->openPrimary(s, std::nullopt);
    const auto tb = controller->createAdditional(s);
    const auto tc = controller->createAdditional(s);
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{ta.id}, {tb.id}, {tc.id}}))
        << "without a stored layout: one row per terminal in order";

    controller->setLayout({{ta.id, tb.id}, {tc.id}, {UUID()}}, s.id);
    controller->close(tc.id);
    const auto td = controller->createAdditional(s);
    const auto te = controller->createAdditional(s);
    EXPECT_EQ(controller->layout(s.id), (TerminalLayout{{ta.id, tb.id}, {td.id}, {te.id}}));

    controller->setLayout({{tb.id}, {td.id, te.id}}, s.id);
    controller->rename(tb.id, "second");
    controller->rename(ta.id, "first");
    const auto titles = controller->orderedTitles(s.id);
    ASSERT_EQ(titles.size(), 4u);
    EXPECT_EQ(titles[0], "second");
    EXPECT_EQ(titles[3], "first") << "reading order of the layout, not creation order";
    EXPECT_TRUE(controller->layout(UUID()).empty());
}

TEST_F(ControllerFixture, LargeGridsReconcileLikeSmallOnes) {
    // Past the linear-search limit the layout is reconciled through hash sets: same rules.
    const Session s = session();
    controller->openGrid(s, 5, 6, std::nullopt);
    drain();
    auto refs = ids(s.id);
    ASSERT_EQ(refs.size(), 30u);
    controller->close(refs[7]);
    const auto extra = controller->createAdditional(s);
    const auto rows = controller->layout(s.id);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[1], (std::vector<UUID>{refs[6], refs[8], refs[9], refs[10], refs[11]}));
    EXPECT_EQ(rows[5], std::vector<UUID>{extra.id});
}
