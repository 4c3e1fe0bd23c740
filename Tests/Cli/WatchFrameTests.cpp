// The overview frame of `orvex watch`, rendered without a terminal.

#include "orvex/WatchFrame.hpp"

#include <gtest/gtest.h>

using Orvex::renderWatchFrame;
using Orvex::Style;
using Orvex::WatchView;
using OrvexCore::SessionStatus;

namespace {

WatchView sample() {
    WatchView view;
    WatchView::Session asking{"brave-fox  Fix login", "brave-fox", SessionStatus::needsInput,
                              SessionStatus::idle,    false,       {}};
    asking.terminals = {
        {"claude", "needsInput", "claude is reading the terminal", false},
        {"shell", "working", "make has been running for 40 s without output", true}};
    WatchView::Session resting{"calm-owl", "calm-owl", std::nullopt, SessionStatus::bell, true, {}};
    view.workspaces = {{"shop", "~/src/shop", {asking, resting}}, {"empty", "~/src/empty", {}}};
    return view;
}

} // namespace

TEST(WatchFrame, FramesShowEveryLevelMarkWhatWantsTheUserAndFitTheWindow) {
    struct Case {
        const char* name;
        WatchView view;
        int width;
        int height;
        bool interactive;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"nothing registered",
         {},
         0,
         0,
         false,
         {"Orvex  0 sessions, 0 running", "",
          "no workspaces yet: register a repository with 'orvex open PATH'"}},
        {"sessions, terminals and their reasons, unbounded",
         sample(),
         0,
         0,
         true,
         {"Orvex  2 sessions, 1 running, 1 needs input, 1 rang the bell   q quits", "",
          "shop  ~/src/shop", "! brave-fox  Fix login  needs input  brave-fox",
          "    ! claude  needs input  claude is reading the terminal",
          "    * shell   working      make has been running for 40 s without output",
          "* calm-owl" + std::string(14, ' ') + "not running (last: bell)  calm-owl", "",
          "empty  ~/src/empty", "    no sessions"}},
        {"cut to the width",
         sample(),
         24,
         0,
         false,
         {"Orvex  2 sessions, 1 run", "", "shop  ~/src/shop", "! brave-fox  Fix login",
          "    ! claude  needs inpu", "    * shell   working", "* calm-owl", "",
          "empty  ~/src/empty", "    no sessions"}},
        {"cut to the height",
         sample(),
         0,
         4,
         false,
         {"Orvex  2 sessions, 1 running, 1 needs input, 1 rang the bell", "", "shop  ~/src/shop",
          "... 7 more lines"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(renderWatchFrame(c.view, Style{}, c.width, c.height, c.interactive), c.expected)
            << c.name;
    }
}

TEST(WatchFrame, WideCharactersControlBytesAndColour) {
    WatchView view;
    WatchView::Session session{"日本語\x1b[2Jx",    "",    SessionStatus::running,
                               SessionStatus::idle, false, {{"t\r1", "needsInput", "asks", false}}};
    view.workspaces = {{"w", "/r", {session}}};

    // A wide character is never split: the cut falls before it.
    auto narrow = renderWatchFrame(view, Style{}, 6, 0, false);
    ASSERT_GE(narrow.size(), 4u);
    EXPECT_EQ(narrow[3], "  日本");
    for (const auto& line : narrow) {
        EXPECT_LE(Orvex::displayWidth(line), 6u) << line;
    }

    // Control bytes from titles never reach the screen; without colour no escape does.
    auto plain = renderWatchFrame(view, Style{}, 0, 0, false);
    for (const auto& line : plain) {
        EXPECT_EQ(line.find_first_of("\x1b\r\n"), std::string::npos) << line;
    }

    // With colour, what needs the user stands out, and cutting keeps sequences whole.
    Style colour{true};
    auto painted = renderWatchFrame(view, colour, 0, 0, false);
    ASSERT_GE(painted.size(), 5u);
    EXPECT_NE(painted[4].find("\x1b[1;33m! "), std::string::npos) << painted[4];
    for (const auto& line : renderWatchFrame(view, colour, 5, 0, false)) {
        EXPECT_LE(Orvex::displayWidth(line), 5u) << line;
    }
}
