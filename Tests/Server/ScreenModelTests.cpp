#include "OrvexServer/ScreenModel.hpp"

#include <functional>
#include <random>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "OrvexCore/Util/Text.hpp"
#include "Support/PtyProcess.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexServer::ScreenModel;

namespace OrvexServer {
// Failure messages show the screen as text rather than as raw bytes.
void PrintTo(const ScreenModel::Snapshot& s, std::ostream* os) {
    *os << s.rows << "x" << s.cols << " cursor " << s.cursorRow << "," << s.cursorCol
        << (s.cursorVisible ? " visible" : " hidden") << (s.alternateScreen ? " alternate" : "")
        << " title '" << s.title << "' region " << s.scrollRegion.first << "-"
        << s.scrollRegion.second << " keypad " << s.applicationKeypad << " modes";
    for (int mode : s.modes) {
        *os << " " << mode;
    }
    for (const auto& row : s.cells) {
        *os << "\n|";
        for (const auto& cell : row) {
            *os << (cell.width == 0 ? "" : cell.text.empty() ? " " : cell.text);
        }
    }
}
} // namespace OrvexServer

namespace {

/// A real program on a pseudo-terminal of a fixed size, with a screen model fed its output as
/// it arrives.
struct PtyProgram {
    PtyProgram(std::vector<std::string> argv, int rows, int cols)
        : model(rows, cols), process(withTerminal(std::move(argv)), rows, cols) {
        process.onOutput = [this](std::string_view bytes) { model.feed(bytes); };
    }
    static std::vector<std::string> withTerminal(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"env", "-u", "LESS", "-u", "PROMPT_COMMAND",
                                   "TERM=xterm-256color", "LESSHISTFILE=-"});
        return argv;
    }

    void type(std::string_view text) { process.type(text); }
    /// Reads output until `done` holds for the model.
    bool readUntil(const std::function<bool(const ScreenModel&)>& done) {
        return process.readUntil([&] { return done(model); });
    }
    bool readUntilText(const std::string& needle) {
        return readUntil(
            [&](const ScreenModel& m) { return m.text().find(needle) != std::string::npos; });
    }
    const std::string& recorded() const { return process.output(); }

    ScreenModel model;
    OrvexTest::PtyProcess process;
};

/// A second model of the same size, first put into an unrelated state, then given the redraw.
ScreenModel::Snapshot redrawnElsewhere(const ScreenModel& source) {
    ScreenModel copy(source.rows(), source.cols());
    copy.feed("\x1b[?1049h\x1b[5;9r\x1b[?1h\x1b=\x1b[41;1mleftover\x1b]2;old\x07\x1b[?25l");
    copy.feed(source.redraw());
    return copy.snapshot();
}

/// The recording fed again in chunks cut at random places gives the same screen.
void expectChunkIndependent(const PtyProgram& program) {
    std::mt19937 random(7);
    ScreenModel again(program.model.rows(), program.model.cols());
    size_t at = 0;
    while (at < program.recorded().size()) {
        size_t length = std::uniform_int_distribution<size_t>(1, 17)(random);
        again.feed(std::string_view(program.recorded()).substr(at, length));
        at += length;
    }
    EXPECT_EQ(again.snapshot(), program.model.snapshot());
}

/// `lines` numbered lines with a coloured word each, written in `folder`.
std::string numberedFile(const OrvexTest::TempDir& folder, int lines) {
    std::string text;
    for (int i = 1; i <= lines; ++i) {
        text += fmt::format("line {} \x1b[3{}mcoloured\x1b[0m\n", i, i % 8);
    }
    OrvexTest::writeFile(folder / "numbers.txt", text);
    return folder / "numbers.txt";
}

} // namespace

TEST(ScreenModelTests, SyntheticScreensRedrawExactly) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"plain text and cursor", "hello\r\nworld"},
        {"every rendition",
         "\x1b[1mb\x1b[3mi\x1b[4mu\x1b[21md\x1b[4:3mc\x1b[5mk\x1b[7mr\x1b[9ms\x1b[12mf\x1b[0mn"},
        {"colours", "\x1b[31ma\x1b[97mb\x1b[38;5;200mc\x1b[48;5;9md\x1b[38;2;1;2;3;48;2;4;5;6me"
                    "\x1b[39;49mf"},
        {"erased in colour", "ab\x1b[44m\x1b[K\r\n\x1b[42m\x1b[3X\x1b[0m"},
        {"wide and combining", "漢字 e\xcc\x81 \xf0\x9f\x98\x80!"},
        {"wide character wraps at the edge", std::string(19, 'x') + "漢"},
        {"text in the last cell", "\x1b[6;20HZ"},
        {"hidden cursor and title", "\x1b[?25l\x1b]0;build: ok\x07prompt$ "},
        {"title with control bytes", "\x1b]2;a\x1b[31mb\x07x"},
        {"scroll region and modes",
         "\x1b[2;5r\x1b[?1h\x1b=\x1b[?2004h\x1b[?1000h\x1b[?1006h\x1b[3;4H"},
        {"origin mode", "\x1b[2;5r\x1b[?6h\x1b[2;3Hx"},
        {"no auto-wrap", "\x1b[?7l" + std::string(25, 'w')},
        {"pen left set", "abc\x1b[1;35;44m"},
        {"alternate screen over primary",
         "primary\r\n\x1b[32mgreen\x1b[0m\x1b[?1049h\x1b[Halt \x1b[7mscreen"},
        {"alternate screen entered with a hidden cursor and a pen",
         "\x1b[?25lbelow\x1b[1;31m\x1b[?1049h\x1b[0;44m\x1b[2Jalt\x1b[?25h"},
        {"scrolled past the top",
         [] {
             std::string out;
             for (int i = 0; i < 40; ++i) {
                 out += "row " + std::to_string(i) + "\r\n";
             }
             return out;
         }()},
        {"reset forgets modes", "\x1b[?1h\x1b[2;4r\x1b"
                                "cafter"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScreenModel model(6, 20);
        model.feed(c.bytes);
        EXPECT_EQ(redrawnElsewhere(model), model.snapshot());
        if (auto primary = model.primaryCells()) {
            // Leaving the alternate screen shows the same primary screen on both sides.
            ScreenModel copy(6, 20);
            copy.feed(model.redraw());
            ASSERT_TRUE(copy.primaryCells());
            EXPECT_EQ(*copy.primaryCells(), *primary);
            copy.feed("\x1b[?1049lX");
            model.feed("\x1b[?1049lX");
            EXPECT_EQ(copy.snapshot(), model.snapshot());
        }
    }
}

TEST(ScreenModelTests, CursorComesBackAfterTheClientDrawsElsewhere) {
    ScreenModel model(6, 20);
    model.feed("\x1b[2;4r\x1b[?6h\x1b[2;3H\x1b[?25l\x1b[1;32m");
    ScreenModel copy(6, 20);
    copy.feed(model.redraw());
    // What a client does to paint its status row, then the restore.
    copy.feed("\x1b[?25h\x1b[?6l\x1b[6;1H\x1b[0;7mstatus\x1b[0m");
    copy.feed(model.restoreCursor());
    auto want = model.snapshot();
    auto got = copy.snapshot();
    EXPECT_EQ(got.cursorRow, want.cursorRow);
    EXPECT_EQ(got.cursorCol, want.cursorCol);
    EXPECT_EQ(got.cursorVisible, want.cursorVisible);
    EXPECT_EQ(got.modes, want.modes);
    EXPECT_EQ(got.pen, want.pen);
}

TEST(ScreenModelTests, TitleIsKeptWithoutControlBytes) {
    ScreenModel model(4, 10);
    model.feed("\x1b]2;a\x1b");
    model.feed("\\\x1b]0;t\x01itle\x07");
    EXPECT_EQ(model.title(), "title");
    model.feed("\x1b]0;spl");
    model.feed("it\x07");
    EXPECT_EQ(model.title(), "split");
    // A program cannot make the model hold a string of any length.
    model.feed("\x1b]2;" + std::string(1 << 20, 'x') +
               "\x07"
               "after");
    EXPECT_EQ(model.title(), std::string(4094, 'x'));
    EXPECT_EQ(model.text().substr(0, 5), "after");
}

TEST(ScreenModelTests, ResizeKeepsTextAndForgetsScrollRegion) {
    ScreenModel model(5, 10);
    model.feed("\x1b[2;4rabcdefghij\x1b[?1049hxyz");
    model.resize(3, 4);
    EXPECT_EQ(model.rows(), 3);
    EXPECT_EQ(model.cols(), 4);
    EXPECT_EQ(model.snapshot().scrollRegion, std::pair(1, 3));
    EXPECT_EQ(redrawnElsewhere(model), model.snapshot());
    model.feed("\x1b[?1049l");
    EXPECT_EQ(model.text().substr(0, 4), "abcd");
}

TEST(ScreenModelTests, LessOnTheAlternateScreenRedrawsAndLeavesThePrimaryBehind) {
    OrvexTest::TempDir folder;
    auto file = numberedFile(folder, 200);
    PtyProgram shell({"bash", "--norc", "--noprofile", "-i"}, 15, 70);
    shell.type("PS1='$ '; echo before-less\n");
    ASSERT_TRUE(shell.readUntilText("before-less\n$"));
    shell.type("less -R " + file + "\n");
    ASSERT_TRUE(shell.readUntil([](const ScreenModel& m) {
        return m.snapshot().alternateScreen && m.text().find("line 14") != std::string::npos;
    }));
    shell.type(" ");
    ASSERT_TRUE(shell.readUntilText("line 28"));
    EXPECT_EQ(redrawnElsewhere(shell.model), shell.model.snapshot());
    expectChunkIndependent(shell);

    // A client that attached while less ran sees the shell's screen again when less ends.
    ScreenModel attached(15, 70);
    attached.feed(shell.model.redraw());
    size_t seen = shell.recorded().size();
    shell.type("q");
    ASSERT_TRUE(
        shell.readUntil([](const ScreenModel& m) { return !m.snapshot().alternateScreen; }));
    shell.type("echo after-less\n");
    ASSERT_TRUE(shell.readUntilText("after-less\n$"));
    attached.feed(std::string_view(shell.recorded()).substr(seen));
    EXPECT_FALSE(attached.snapshot().alternateScreen);
    EXPECT_EQ(attached.snapshot(), shell.model.snapshot());
}

namespace {

/// A model that draws every byte the moment it arrives: each read forces what it holds out,
/// and a single byte never holds a stretch of lines to pass over.
class EagerModel {
public:
    EagerModel(int rows, int cols) : model(rows, cols) {}
    void feed(std::string_view bytes) {
        for (char byte : bytes) {
            model.feed(std::string_view(&byte, 1));
            (void)model.rows();
        }
    }
    ScreenModel model;
};

/// Output a program could write: long stretches of plain lines (wrapping or not, ended by
/// "\r\n", "\n" or "\r"), mixed with what changes how such lines land: colours, cursor moves,
/// scroll regions, side margins, autowrap, insert and new-line modes, tabs, wide and combining
/// characters, double-width lines, single shifts, saved cursors, the alternate screen.
/// Combining marks are left out: libvterm joins one to the character before it only when both
/// come in one write, so no byte-at-a-time reference could agree with any model on them.
std::string randomOutput(std::mt19937& random, int rows, int cols) {
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    // Separated by '|'; "\033" where a hexadecimal escape would swallow the letter after it.
    static const auto sequences = OrvexCore::Text::split(
        "\x1b[31m|\x1b[1;44m|\x1b[0m|\x1b[7m|\x1b[2J|\x1b[K|\x1b[H|\x1b[r|\x1b[2;4r|\x1b[1;3r|"
        "\x1b[3r|\x1b[?6h|\x1b[?6l|\x1b[?7l|\x1b[?7h|\x1b[4h|\x1b[4l|\x1b[20h|\x1b[20l|"
        "\x1b[?69h\x1b[2;5s|\x1b[?69l|\t|\b|\0337|\0338|\x1bM|\033D|\033E|\x1b#6|\x1b#5|"
        "\x1bN|\x1b(0|\x1b(B|\xe4\xb8\xad|\xe4\xb8|\x1b[?1049h|\x1b[?1049l|\x1b]2;title\x07|"
        "\x1b!p|\033c|\x1b[5;3H|\x1b[?25l|\x1b[L|\x1b[2S",
        '|', false);
    std::string out;
    int parts = pick(1, 12);
    for (int part = 0; part < parts; ++part) {
        if (pick(0, 2) == 0) {
            out += sequences[static_cast<std::size_t>(
                pick(0, static_cast<int>(sequences.size()) - 1))];
            continue;
        }
        int lines = pick(0, rows * 4 + 3);
        for (int line = 0; line < lines; ++line) {
            int length = pick(0, cols * 5 / 2);
            for (int i = 0; i < length; ++i) {
                out += static_cast<char>(pick(0x20, 0x7e));
            }
            switch (pick(0, 5)) {
            case 0:
                out += "\n";
                break;
            case 1:
                out += "\r";
                break;
            default:
                out += "\r\n";
                break;
            }
        }
    }
    return out;
}

} // namespace

// Lines passed over in a fast stretch of text must leave exactly the screen that drawing every
// byte leaves: cells, pens, cursor, modes, the primary screen under an alternate one.
TEST(ScreenModelTests, PassingOverScrolledLinesLeavesTheSameScreen) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 400; ++round) {
        int rows = std::uniform_int_distribution<int>(1, 9)(random);
        int cols = std::uniform_int_distribution<int>(1, 14)(random);
        ScreenModel model(rows, cols);
        EagerModel eager(rows, cols);
        int steps = std::uniform_int_distribution<int>(1, 6)(random);
        for (int step = 0; step < steps; ++step) {
            std::string output = randomOutput(random, rows, cols);
            eager.feed(output);
            // Random cuts, read in between or not.
            std::size_t at = 0;
            while (at < output.size()) {
                auto length = std::uniform_int_distribution<std::size_t>(1, 3000)(random);
                model.feed(std::string_view(output).substr(at, length));
                at += length;
                if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
                    (void)model.title();
                }
            }
            if (std::uniform_int_distribution<int>(0, 4)(random) == 0) {
                int newRows = std::uniform_int_distribution<int>(1, 9)(random);
                int newCols = std::uniform_int_distribution<int>(1, 14)(random);
                model.resize(newRows, newCols);
                eager.model.resize(newRows, newCols);
            }
            ASSERT_EQ(model.snapshot(), eager.model.snapshot()) << "round " << round;
            ASSERT_EQ(model.primaryCells(), eager.model.primaryCells()) << "round " << round;
        }
    }
}

// A flood of lines held back past the limit is drawn in one go, and what the model reads back
// is the end of the flood, with the redraw painting exactly that.
TEST(ScreenModelTests, FloodOfLinesShowsItsLastScreenful) {
    ScreenModel model(5, 20);
    std::string flood;
    for (int line = 1; line <= 200000; ++line) {
        flood += "line " + std::to_string(line) + "\r\n";
    }
    for (std::size_t at = 0; at < flood.size(); at += 4096) {
        model.feed(std::string_view(flood).substr(at, 4096));
    }
    EXPECT_EQ(model.text(), "line 199997\nline 199998\nline 199999\nline 200000\n");
    EXPECT_EQ(model.snapshot().cursorRow, 4);
    EXPECT_EQ(model.snapshot().cursorCol, 0);
    EXPECT_EQ(redrawnElsewhere(model), model.snapshot());
}

// libvterm writes a wide character past the end of a one-column row; the model stays two
// columns wide so a program's CJK text in a very narrow window cannot bring the server down.
TEST(ScreenModelTests, WideCharacterInAOneColumnWindowIsKept) {
    ScreenModel model(3, 1);
    model.feed("\xe4\xb8\xad\r\n\xe4\xb8\xad");
    model.resize(3, 1);
    model.feed("\xe4\xb8\xad");
    EXPECT_EQ(model.cols(), 2);
    EXPECT_EQ(model.text(), "\xe4\xb8\xad\n\xe4\xb8\xad\n\xe4\xb8\xad");
}

// Shrinking the window above the program's scroll region must leave a model that still
// scrolls (libvterm alone would move a negative number of bytes) and keeps the cursor.
TEST(ScreenModelTests, ShrinkingBelowTheScrollRegionKeepsScrolling) {
    ScreenModel model(10, 6);
    model.feed("\x1b[4;8r\x1b[9;3Hab");
    model.resize(2, 6);
    EXPECT_EQ(model.snapshot().cursorRow, 1);
    EXPECT_EQ(model.snapshot().cursorCol, 4);
    model.feed("\r\nnext\r\nlast");
    EXPECT_EQ(model.text(), "next\nlast");
}

// A program asking for the alternate screen again while on it, within one stretch of output,
// must not have the alternate screen taken for the primary one under it.
TEST(ScreenModelTests, AskingTwiceForTheAlternateScreenKeepsThePrimary) {
    ScreenModel model(3, 10);
    model.feed("shell$ \x1b[?1049hfirst\x1b[?1049h\x1b[Hsecond");
    auto primary = model.primaryCells();
    ASSERT_TRUE(primary.has_value());
    EXPECT_EQ((*primary)[0][0].text, "s");
    EXPECT_EQ((*primary)[0][6].text, " ");
    EXPECT_EQ(model.text(), "second\n\n");
}

// Output that libvterm alone would draw wrongly. Line drawing (ACS) right after non-ASCII text,
// all in one stretch of output: libvterm would read the letters as UTF-8 and draw them as
// letters. Start-of-string, privacy-message and application-program-command strings (images,
// say) show nothing on a terminal: libvterm would draw their contents as text.
TEST(ScreenModelTests, LineDrawingAndHiddenStringsLeaveTheRightText) {
    struct Case {
        const char* output;
        const char* text;
    };
    const Case cases[] = {
        {"\x1b(0\xe4\xb8\xadqx", "\xe4\xb8\xad\xe2\x94\x80\xe2\x94\x82"},
        {"\x1b)0\x0e\xe4\xb8\xadq\x0f\xe4\xb8\xadq", "\xe4\xb8\xad\xe2\x94\x80\xe4\xb8\xadq"},
        {"\x1b(0\xe4\xb8\xadq\x1b(B\xe4\xb8\xadq", "\xe4\xb8\xad\xe2\x94\x80\xe4\xb8\xadq"},
        {"\x1b(0\x1b\x63\xe4\xb8\xadq", "\xe4\xb8\xadq"},
        {"a\x1bXhidden\x1b\\b", "ab"},
        {"a\x1b^hidden\x1b\\b", "ab"},
        {"a\x1b_Ga=T;aGlkZGVu\x1b\\b", "ab"},
        {"a\x1b_hidden\x18"
         "b",
         "ab"},
    };
    for (const auto& c : cases) {
        ScreenModel model(1, 10);
        model.feed(c.output);
        EXPECT_EQ(model.text(), c.text) << c.output;
    }
}
