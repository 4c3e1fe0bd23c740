#include "orvex/StatusRow.hpp"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include "OrvexCore/Util/Text.hpp"

namespace F = OrvexServer::AttachFrame;
using State = F::Status::State;
namespace StatusRow = Orvex::StatusRow;

namespace {

int columns(const std::string& text) {
    int total = 0;
    for (auto grapheme : OrvexCore::Text::graphemes(text)) {
        size_t offset = 0;
        total += std::max(0, utf8proc_charwidth(static_cast<utf8proc_int32_t>(
                                 OrvexCore::Text::decodeScalar(grapheme, offset))));
    }
    return total;
}

F::Status grid() {
    return F::Status{{{"agent", State::working, false},
                      {"tests 漢字", State::needsInput, false},
                      {"shell", State::idle, true},
                      {"done", State::exited, false}},
                     0};
}

} // namespace

TEST(StatusRowTests, FitsEveryWidthAndDegradesInOrder) {
    struct Case {
        int width;
        std::string text;
    };
    const std::vector<Case> cases = {
        {80, " 1:agent working  2:tests 漢字 needs input  3:shell idle !  4:done exited "},
        {60, " 1:a… working  2:t… needs input  3:s… idle !  4:d… exited "},
        {40, " 1*  2?  3- !  4x "},
        {12, " 1*  2?     "},
        {3, " 1*"},
        {0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        auto row = StatusRow::render(grid(), c.width, false);
        EXPECT_EQ(columns(row.text), c.width);
        EXPECT_EQ(row.text.substr(0, c.text.size()), c.text);
        EXPECT_EQ(OrvexCore::Text::sanitizedUTF8(row.bytes), row.bytes);
    }
}

TEST(StatusRowTests, HiddenTerminalsThatWantAttentionAreHighlighted) {
    auto status = grid();
    status.shown = 2;
    auto row = StatusRow::render(status, 100, false);
    // Shown: reverse and bold; needs input: yellow; bell: red; the shown one's bell is no
    // longer news.
    EXPECT_NE(row.bytes.find("\x1b[0;1;30;43m 2:tests 漢字 needs input "), std::string::npos);
    EXPECT_NE(row.bytes.find("\x1b[0;1;7m 3:shell idle "), std::string::npos);
    EXPECT_EQ(row.text.find("idle !"), std::string::npos);
    status.shown = 0;
    row = StatusRow::render(status, 100, false);
    EXPECT_NE(row.bytes.find("\x1b[0;1;97;41m 3:shell idle ! "), std::string::npos);
}

TEST(StatusRowTests, NarrowWindowKeepsTheShownTerminalAndItsNeighbours) {
    F::Status status;
    for (int i = 0; i < 12; ++i) {
        status.terminals.push_back({"t", State::idle, false});
    }
    status.shown = 9;
    auto row = StatusRow::render(status, 16, false);
    EXPECT_EQ(columns(row.text), 16);
    EXPECT_NE(row.text.find(" 10-"), std::string::npos);
}

TEST(StatusRowTests, TitlesCannotCarryControlSequences) {
    F::Status status{{{"evil\x1b]2;x\x07\x1b[2J\r\n\xc2\x9b"
                       "1m\xff",
                       State::idle, false}},
                     0};
    auto row = StatusRow::render(status, 40, false);
    EXPECT_EQ(row.text.find('\x1b'), std::string::npos);
    EXPECT_EQ(row.text.find('\x07'), std::string::npos);
    EXPECT_EQ(row.text.find('\r'), std::string::npos);
    EXPECT_EQ(row.text.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(row.text.find("evil]2;x[2J1m\xef\xbf\xbd"), std::string::npos);
    EXPECT_EQ(columns(row.text), 40);
}

TEST(StatusRowTests, PendingPrefixShowsItsKeys) {
    auto row = StatusRow::render(grid(), 100, true);
    EXPECT_EQ(columns(row.text), 100);
    EXPECT_EQ(row.text.substr(row.text.size() - 13), " n p 1-9 d ? ");
}

TEST(StatusRowTests, PaintDrawsOnTheRowAndRestores) {
    auto row = StatusRow::render(grid(), 20, false);
    auto bytes = StatusRow::paint(row, 24, "\x1b[3;4H\x1b[?25h");
    EXPECT_EQ(bytes.rfind("\x1b[?25l\x1b[?6l\x1b[24;1H", 0), 0u);
    EXPECT_EQ(bytes.substr(bytes.size() - 12), "\x1b[3;4H\x1b[?25h");
}

TEST(StatusRowTests, ProgramsGetTheWindowWithoutTheStatusRow) {
    EXPECT_EQ(StatusRow::programSize({24, 80}), (Orvex::WindowSize{23, 80}));
    EXPECT_EQ(StatusRow::programSize({1, 5}), (Orvex::WindowSize{1, 5}));
}
