#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Diff/DiffHelperWorker.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexCore;

// A patch answer several times the size of a default pipe, full of bytes the encoder must
// escape or check (quotes, backslashes, slashes, tabs, a control character, multi-byte
// characters), arrives through the worker exactly as git wrote it: alone, with a second answer
// queued behind it, and again once the worker has handed its buffer over.
TEST(DiffHelperWorkerTests, LargeAnswersArriveWholeAndInOrder) {
    OrvexTest::TempGitRepo repo;
    std::string original, changed;
    for (int i = 0; i < 9000; ++i) {
        auto line =
            fmt::format("{}: \"q\" \\ a/b\tc \x01 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n", i);
        original += line;
        changed += i % 3 == 0 ? "+" + line : line;
    }
    const auto base = repo.commitFile("big.txt", original);
    repo.write("big.txt", changed);
    const auto expected = GitCLIService().filePatch(repo.path(), "big.txt", base);
    ASSERT_GT(expected.size(), 256u * 1024);

    DiffHelperWorker worker(ORVEX_HELPER_PATH);
    const auto patch =
        DiffHelperRequest{"patch", DiffHelperOp::patch, repo.path(), base, "big.txt"}.encodedLine();
    const auto list =
        DiffHelperRequest{"list", DiffHelperOp::list, repo.path(), base, {}}.encodedLine();
    auto patchOf = [](const std::string& answer) {
        return DiffHelperCoding::decodeResponse(answer).patch.value_or("<none>");
    };

    EXPECT_EQ(patchOf(worker.roundTrip(patch)), expected);
    // Both requests in one write: the list answer may come in the same read as the patch.
    EXPECT_EQ(patchOf(worker.roundTrip(patch + list)), expected);
    auto listed = DiffHelperCoding::decodeResponse(worker.roundTrip(""));
    ASSERT_TRUE(listed.files);
    ASSERT_EQ(listed.files->size(), 1u);
    EXPECT_EQ((*listed.files)[0].added, 3000);
    EXPECT_EQ(patchOf(worker.roundTrip(patch)), expected);
}
