#include "OrvexCore/Terminal/LayoutReorder.hpp"

#include <gtest/gtest.h>

using namespace OrvexCore;

namespace {
const UUID a, b, c, missing;
} // namespace

TEST(LayoutReorder, EveryDropEdge) {
    const TerminalLayout layout = {{a, b}, {c}};
    struct Case {
        UUID dragged;
        UUID target;
        DropEdge edge;
        TerminalLayout expected;
        const char* name;
    };
    const std::vector<Case> cases = {
        {c, a, DropEdge::left, {{c, a, b}}, "left of the first cell"},
        {c, a, DropEdge::right, {{a, c, b}}, "right, into the middle"},
        {a, b, DropEdge::right, {{b, a}, {c}}, "right within its own row"},
        {b, a, DropEdge::left, {{b, a}, {c}}, "left within its own row"},
        {a, b, DropEdge::top, {{a}, {b}, {c}}, "top splits a row"},
        {a, c, DropEdge::bottom, {{b}, {c}, {a}}, "bottom of the last row"},
        {a, c, DropEdge::center, {{c, b}, {a}}, "centre swaps"},
        {c, b, DropEdge::top, {{c}, {a, b}}, "the emptied row is dropped before the insert"},
        {c, b, DropEdge::bottom, {{a, b}, {c}}, "back where it was"},
        {b, c, DropEdge::center, {{a, c}, {b}}, "centre keeps row sizes"},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(LayoutReorder::apply(layout, k.dragged, k.target, k.edge), k.expected) << k.name;
    }
    for (const auto edge :
         {DropEdge::left, DropEdge::right, DropEdge::top, DropEdge::bottom, DropEdge::center}) {
        EXPECT_EQ(LayoutReorder::apply(layout, a, a, edge), layout);
        EXPECT_EQ(LayoutReorder::apply(layout, missing, a, edge), layout);
        EXPECT_EQ(LayoutReorder::apply(layout, a, missing, edge), layout);
    }
}

TEST(LayoutReorder, RemoveAndPosition) {
    EXPECT_EQ(LayoutReorder::remove(a, {{a}, {}, {b}}), (TerminalLayout{{b}}));
    EXPECT_EQ(LayoutReorder::remove(a, {{a, b, a}, {c, a}}), (TerminalLayout{{b}, {c}}));
    EXPECT_EQ(LayoutReorder::position(a, {{b}, {c, a}, {a}}), (LayoutReorder::Position{1, 1}));
    EXPECT_FALSE(LayoutReorder::position(a, {{b}, {}}));
}

TEST(LayoutReorder, DuplicatedIdsAreHandledByTheirFirstOccurrence) {
    // Stored layouts are not checked, so a terminal may stand twice; nothing may fault.
    const TerminalLayout layout = {{a, b}, {a}};
    EXPECT_EQ(LayoutReorder::apply(layout, a, b, DropEdge::center), (TerminalLayout{{b, a}, {a}}));
    EXPECT_EQ(LayoutReorder::apply(layout, b, a, DropEdge::top), (TerminalLayout{{b}, {a}, {a}}));
    EXPECT_EQ(LayoutReorder::apply(layout, a, b, DropEdge::left), (TerminalLayout{{a, b}}));
}
