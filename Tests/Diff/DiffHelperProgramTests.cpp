// The helper program itself, run as a child process and spoken to over pipes.

#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "Diff/DiffHelperTestSupport.hpp"
#include "OrvexCore/Diff/DiffHelperMessage.hpp"

using namespace OrvexCore;
using OrvexTest::HelperPipe;

namespace {

/// A request that needs no git: a list without a base is answered at once, with its id.
std::string quickRequest(const std::string& id) {
    return R"({"id":")" + id +
           R"(","op":"list","worktreePath":"\/w"})"
           "\n";
}

std::optional<std::string> answeredId(const std::optional<std::string>& line) {
    if (!line) {
        return "<end of output>";
    }
    return DiffHelperCoding::decodeResponse(*line).id;
}

} // namespace

TEST(DiffHelperProgramTests, ARequestSplitOverManyWritesIsAnsweredAtItsLineFeed) {
    HelperPipe helper;
    // A long id makes the request span many pipe buffers; the answer echoes it whole.
    std::string id(300000, 'x');
    std::string request = quickRequest(id);
    for (size_t at = 0; at + 1 < request.size(); at += 7000) {
        helper.send(
            std::string_view(request).substr(at, std::min<size_t>(7000, request.size() - 1 - at)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    helper.send("\n");
    EXPECT_EQ(answeredId(helper.readLine()), id);
    helper.closeInput();
    EXPECT_EQ(helper.readToEnd(), "");
}

TEST(DiffHelperProgramTests, ShutdownEndsTheProcessEvenWithRequestsBehindIt) {
    HelperPipe helper;
    helper.send(quickRequest("before") +
                R"({"id":"shutdown","op":"shutdown"})"
                "\n" +
                quickRequest("after") + quickRequest("later"));
    EXPECT_EQ(answeredId(helper.readLine()), "before");
    EXPECT_EQ(helper.readToEnd(), "");
    EXPECT_EQ(helper.wait(), 0);
}

TEST(DiffHelperProgramTests, EndOfInputInsideALineDropsThatLine) {
    HelperPipe helper;
    helper.send(quickRequest("whole") + R"({"id":"half","op":"li)");
    helper.closeInput();
    EXPECT_EQ(answeredId(helper.readLine()), "whole");
    EXPECT_EQ(helper.readToEnd(), "");
    EXPECT_EQ(helper.wait(), 0);
}

// Nothing the helper reads can end it: every non-empty line gets exactly one response line,
// empty lines get none, and the helper is still answering afterwards.
TEST(DiffHelperProgramTests, TenThousandRandomAndDamagedLinesEachGetOneResponse) {
    std::mt19937 random(7);
    // Worktree paths that do not exist keep the requests that survive damage quick.
    const std::vector<std::string> valid{
        R"({"base":"main","id":"list","op":"list","worktreePath":"\/nonexistent\/orvex"})",
        R"({"base":"main","id":"patch","op":"patch","path":"a","worktreePath":"\/nonexistent\/orvex"})",
        R"({"id":"x","op":"list"})",
    };
    std::string input;
    size_t expected = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string line;
        switch (i % 4) {
        case 0:
            line.resize(random() % 120);
            for (auto& c : line) {
                c = static_cast<char>(random() % 256);
            }
            break;
        case 1:
            line = valid[random() % valid.size()];
            line.resize(random() % line.size());
            break;
        case 2:
        case 3:
            line = valid[random() % valid.size()];
            for (int flips = 1 + random() % 3; flips > 0; --flips) {
                line[random() % line.size()] = static_cast<char>(random() % 256);
            }
            break;
        }
        std::erase(line, '\n');
        if (line.find("shutdown") != std::string::npos) {
            continue;
        }
        expected += line.empty() ? 0 : 1;
        input += line + "\n";
    }
    input += quickRequest("still here");
    ++expected;

    HelperPipe helper;
    // The helper answers while it reads, so the input is written from another thread.
    std::thread writer([&] {
        helper.send(input);
        helper.closeInput();
    });
    std::string output = helper.readToEnd(std::chrono::seconds(240));
    writer.join();
    EXPECT_EQ(helper.wait(), 0);

    size_t lines = 0;
    std::string_view rest = output;
    while (!rest.empty()) {
        auto end = rest.find('\n');
        ASSERT_NE(end, std::string_view::npos) << "unterminated output";
        EXPECT_NO_THROW(DiffHelperCoding::decodeResponse(rest.substr(0, end)));
        rest.remove_prefix(end + 1);
        ++lines;
    }
    EXPECT_EQ(lines, expected);
    EXPECT_NE(output.rfind(R"("id":"still here")"), std::string::npos);
}
