#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Diff/OrvexDiffHelper.hpp"
#include "OrvexCore/Diff/PatchAnswerEncoder.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Platform/ProcessOutputObserver.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexCore;

namespace {

std::string answerLine(const std::optional<std::string>& id, const std::string& patch,
                       const std::string& path) {
    return DiffHelperResponse{id, true, {}, path, patch, {}}.encodedLine();
}

/// What the encoder offers after watching `output` arrive in pieces of `pieceBytes`.
std::optional<std::string> encodedInPieces(const std::string& output, size_t pieceBytes,
                                           const std::string& patch,
                                           const std::optional<std::string>& id = "p") {
    PatchAnswerEncoder encoder(id);
    encoder.started();
    for (size_t at = 0; at < output.size(); at += pieceBytes) {
        encoder.received(std::string_view(output).substr(at, pieceBytes));
    }
    return encoder.finish(patch, "dir/f\"ile\xC3\xA9.txt");
}

/// Everything it is shown, and how many children it saw start.
class Recorder final : public Platform::OutputObserver {
public:
    std::string seen;
    int starts = 0;
    void started() noexcept override {
        ++starts;
        seen.clear();
    }
    void received(std::string_view bytes) noexcept override { seen += bytes; }
};

} // namespace

// A watched child's output is gathered in an enlarged pipe between reads; the watcher still
// sees all of it in order, also when the child writes more than the pipe holds or closes its
// error output (which otherwise tells that it has ended) long before its output.
TEST(DiffHelperPatchStreamTests, AWatchedChildsOutputIsSeenWholeAndInOrder) {
    const std::vector<std::pair<const char*, std::string>> cases{
        {"three MB", "head -c 3000000 /dev/urandom | od -An -tx1 -v"},
        {"error output closed first", "exec 2>&-; seq 1 200000"},
        {"error output too", "seq 1 100000; seq 1 100000 >&2; seq 5 9"},
    };
    for (const auto& [name, script] : cases) {
        Recorder recorder;
        Platform::CapturedOutput result;
        {
            Platform::OutputObserver::Scope watching(recorder);
            result = Platform::runToCompletion("/bin/sh", {"-c", script});
        }
        EXPECT_EQ(result.status, 0) << name;
        EXPECT_EQ(recorder.starts, 1) << name;
        EXPECT_GT(result.output.size(), 500'000u) << name;
        EXPECT_TRUE(recorder.seen == result.output) << name;
    }
    // Once the scope has ended, nothing is shown.
    Recorder recorder;
    { Platform::OutputObserver::Scope watching(recorder); }
    Platform::runToCompletion("/bin/sh", {"-c", "echo hi"});
    EXPECT_EQ(recorder.starts, 0);
}

// Pieces cut anywhere, inside multi-byte characters and between an escape's byte and the
// next, make the answer the whole text would have made.
TEST(DiffHelperPatchStreamTests, PiecesCutAnywhereEncodeAsTheWholePatch) {
    const std::vector<std::string> texts{
        "",
        "plain\n",
        "quotes \" back\\slash a/b \t\x01\x1f\x7f\n",
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9\n\xF0\x9F\x98\x80",
        std::string("nul \0 byte\n", 11),
    };
    for (const auto& text : texts) {
        for (const std::optional<std::string>& id :
             {std::optional<std::string>("i\"d/"), std::optional<std::string>()}) {
            const auto expected = answerLine(id, text, "dir/f\"ile\xC3\xA9.txt");
            for (size_t piece = 1; piece <= text.size() + 1; ++piece) {
                EXPECT_EQ(encodedInPieces(text, piece, text, id), expected)
                    << "piece " << piece << " of " << text;
            }
        }
    }
}

// The encoder offers nothing unless the patch is exactly what it watched, so the helper then
// encodes the patch the git call returned.
TEST(DiffHelperPatchStreamTests, OffersNothingForAnyOtherPatch) {
    const std::string watched = "+a \xE2\x82\xAC line\n";
    EXPECT_FALSE(encodedInPieces(watched, 3, "+a \xE2\x82\xAC linE\n")) << "same size";
    EXPECT_FALSE(encodedInPieces(watched, 3, watched + "x")) << "longer";
    EXPECT_FALSE(encodedInPieces("bad \xFF byte", 3, "bad \xFF byte")) << "not UTF-8";
    EXPECT_FALSE(encodedInPieces("cut \xE2\x82", 2, "cut \xE2\x82")) << "cut-short character";
    EXPECT_FALSE(encodedInPieces(std::string(600 * 1024, 'x'), 65536, std::string(600 * 1024, 'x')))
        << "past the size bound";

    // Only the last child's output counts.
    PatchAnswerEncoder encoder("p");
    encoder.started();
    encoder.received("first");
    encoder.started();
    encoder.received("second");
    EXPECT_FALSE(PatchAnswerEncoder(encoder).finish("first", "f"));
    EXPECT_EQ(encoder.finish("second", "f"), answerLine("p", "second", "f"));
}

// The helper's patch answers from real git are byte for byte the answers made from the
// finished patch, however the patch came about: git's first run, a second run for an
// untracked file, bytes that are not UTF-8, the size bound.
TEST(DiffHelperPatchStreamTests, AnswersFromGitAreThoseOfTheFinishedPatch) {
    OrvexTest::TempGitRepo repo;
    std::string original, changed;
    for (int i = 0; i < 6000; ++i) {
        auto line = fmt::format("{} \"q\" \\ a/b\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n", i);
        original += line;
        changed += i % 4 == 0 ? "+" + line : line;
    }
    repo.write("big.txt", original);
    repo.write("latin1.txt", "caf\xE9\n");
    repo.write("huge.txt", "");
    const auto base = repo.commitAll("base");
    repo.write("big.txt", changed);
    repo.write("latin1.txt", "caf\xE9 cr\xE8me\n");
    repo.write("huge.txt", std::string(700 * 1024, 'x') + "\n");
    repo.write("new.txt", "a new file\n");

    GitCLIService git;
    for (const char* path : {"big.txt", "latin1.txt", "huge.txt", "new.txt", "README.md"}) {
        const auto patch = git.filePatch(repo.path(), path, base);
        const auto request =
            DiffHelperRequest{"id", DiffHelperOp::patch, repo.path(), base, path}.encodedLine();
        auto reply = OrvexDiffHelper::handle(request.substr(0, request.size() - 1), git);
        EXPECT_EQ(reply.bytes, answerLine("id", patch, path)) << path;
    }
}

// git that fails after writing part of a patch gets the failure answer, not the part.
TEST(DiffHelperPatchStreamTests, GitFailingAfterSomeOutputGivesTheFailureAnswer) {
    OrvexTest::TempGitRepo repo;
    const auto base = repo.commitFile("a.txt", "one\n");
    repo.write("a.txt", "two\n");
    const auto script = repo.file(".git/failing-diff");
    OrvexTest::writeFile(script, "#!/bin/sh\nprintf 'diff --git a/a.txt b/a.txt\\n'\nexit 3\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    repo.git({"config", "diff.external", script});

    GitCLIService git;
    EXPECT_THROW(git.filePatch(repo.path(), "a.txt", base), GitError);
    const auto request =
        DiffHelperRequest{"id", DiffHelperOp::patch, repo.path(), base, "a.txt"}.encodedLine();
    const auto reply = OrvexDiffHelper::handle(request.substr(0, request.size() - 1), git);
    auto response = DiffHelperCoding::decodeResponse(reply.bytes.substr(0, reply.bytes.size() - 1));
    EXPECT_FALSE(response.ok);
    EXPECT_FALSE(response.id || response.patch || response.path);
    ASSERT_TRUE(response.error);
    EXPECT_NE(response.error->find("failed with exit status 128"), std::string::npos)
        << *response.error;
    EXPECT_NE(response.error->find("external diff died"), std::string::npos) << *response.error;
}
