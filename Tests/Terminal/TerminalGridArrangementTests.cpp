#include "OrvexCore/Terminal/TerminalGridArrangement.hpp"
#include "OrvexCore/Terminal/TerminalGridArrangementCache.hpp"

#include <gtest/gtest.h>

#include "Terminal/FakeTerminalEngine.hpp"

using namespace OrvexCore;

namespace {

TerminalRef makeRef(const std::string& title) {
    auto handle = std::make_shared<OrvexTest::FakeTerminalHandle>(
        UUID(), "/w", std::nullopt, std::map<std::string, std::string>{});
    return TerminalRef(UUID(), handle, 0, title, "/w", std::nullopt);
}

std::vector<std::string> titles(const TerminalGridArrangement::Arrangement& arrangement) {
    std::vector<std::string> out;
    for (const auto& ref : arrangement.ordered) {
        out.push_back(ref.title);
    }
    return out;
}

} // namespace

TEST(TerminalGridArrangement, OrdersRecordsByRowsAndCountsEveryCell) {
    const TerminalRef a = makeRef("a"), b = makeRef("b"), c = makeRef("c");
    const UUID x;
    struct Case {
        TerminalLayout rows;
        std::vector<std::string> ordered;
        std::vector<std::int64_t> rowSizes;
    };
    const std::vector<Case> cases = {
        {{{a.id, b.id}, {c.id}}, {"a", "b", "c"}, {2, 1}},
        {{{a.id}, {x, b.id}}, {"a", "b"}, {1, 2}},
        {{}, {}, {}},
        {{{c.id}, {}, {a.id}}, {"c", "a"}, {1, 0, 1}},
    };
    for (const auto& k : cases) {
        const auto arrangement = TerminalGridArrangement::arrange(k.rows, {a, b, c});
        EXPECT_EQ(titles(arrangement), k.ordered);
        EXPECT_EQ(arrangement.rowSizes, k.rowSizes);
    }
    // The same id twice among the records: the first record wins.
    TerminalRef twin = a;
    twin.title = "twin";
    const auto doubled = TerminalGridArrangement::arrange({{a.id, b.id}}, {a, twin, b});
    EXPECT_EQ(titles(doubled), (std::vector<std::string>{"a", "b"}));
}

TEST(TerminalGridArrangementCache, RebuildsOnlyWhenSomethingShownChanges) {
    TerminalGridArrangementCache cache;
    EXPECT_TRUE(cache.arrangement({}, {}).ordered.empty());
    EXPECT_EQ(cache.rebuildCount(), 1) << "a fresh cache always computes once";

    TerminalRef a = makeRef("a");
    const TerminalRef b = makeRef("b");
    const TerminalLayout rows = {{a.id, b.id}};
    cache.arrangement(rows, {a, b});
    cache.arrangement(rows, {a, b});
    EXPECT_EQ(cache.rebuildCount(), 2);

    TerminalRef moved = a;
    moved.order = 99;
    moved.cwd = "/elsewhere";
    moved.command = "x";
    cache.arrangement(rows, {moved, b});
    EXPECT_EQ(cache.rebuildCount(), 2) << "order, folder and command are not shown";

    struct Change {
        const char* name;
        std::function<void(TerminalRef&)> apply;
    };
    const std::vector<Change> changes = {
        {"title", [](TerminalRef& r) { r.title = "renamed"; }},
        {"exited", [](TerminalRef& r) { r.isExited = true; }},
        {"exit code", [](TerminalRef& r) { r.exitCode = 3; }},
    };
    std::int64_t expected = 2;
    for (const auto& change : changes) {
        change.apply(a);
        const auto& arrangement = cache.arrangement(rows, {a, b});
        EXPECT_EQ(cache.rebuildCount(), ++expected) << change.name;
        EXPECT_EQ(arrangement.ordered.front(), a) << change.name;
    }
    cache.arrangement(rows, {b, a});
    EXPECT_EQ(cache.rebuildCount(), ++expected) << "same records in another order";
    cache.arrangement({{b.id, a.id}}, {b, a});
    EXPECT_EQ(cache.rebuildCount(), ++expected) << "other rows";
    EXPECT_EQ(titles(cache.arrangement({{b.id, a.id}}, {b, a})),
              (std::vector<std::string>{"b", "renamed"}));
    EXPECT_EQ(cache.rebuildCount(), expected);
}
