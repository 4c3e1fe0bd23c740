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
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Platform/ProcessOutputObserver.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexCore;

namespace {

std::string answerLine(const std::optional<std::string>& id, const std::string& patch,
                       const std::string& path) {
    return DiffHelperResponse{id, true, {}, path, patch, {}}.encodedLine();
}

/// What the encoder offers for `patch` after watching `output` arrive in pieces of `piece`.
std::optional<std::string> encoded(const std::string& output, size_t piece,
                                   const std::string& patch, std::optional<std::string> id = "p") {
    PatchAnswerEncoder encoder(id);
    encoder.started();
    for (size_t at = 0; at < output.size(); at += piece) {
        encoder.received(std::string_view(output).substr(at, piece));
    }
    return encoder.finish(patch, "d/\"\xC3\xA9");
}

class Recorder final : public Platform::OutputObserver {
public:
    std::string seen;
    void started() noexcept override { seen.clear(); }
    void received(std::string_view bytes) noexcept override { seen += bytes; }
};

} // namespace

// Pieces cut anywhere (inside characters, beside escapes) give the answer of the whole patch;
// any patch other than the one watched, or one that is not UTF-8, gets no answer.
TEST(DiffHelperPatchStreamTests, EncodesTheWatchedPatchOnly) {
    const std::string text =
        "q\" b\\ a/b\t\x01\x7f\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n" + std::string("\0z", 2);
    for (std::optional<std::string> id : {std::optional<std::string>("i\"/"), {}}) {
        for (size_t piece = 1; piece <= text.size(); ++piece) {
            EXPECT_EQ(encoded(text, piece, text, id), answerLine(id, text, "d/\"\xC3\xA9"))
                << piece;
        }
    }
    EXPECT_EQ(encoded("", 1, ""), answerLine("p", "", "d/\"\xC3\xA9"));
    const std::string big(600 * 1024, 'x');
    for (auto [output, patch] : std::vector<std::pair<std::string, std::string>>{
             {"+a \xE2\x82\xAC\n", "+a \xE2\x82\xAD\n"},
             {"+a\n", "+a\n\n"},
             {"bad \xFF byte", "bad \xFF byte"},
             {"cut \xE2\x82", "cut \xE2\x82"},
             {big, big}}) {
        EXPECT_FALSE(encoded(output, 3, patch)) << output.substr(0, 20);
    }
}

// Answers from real git are those of the finished patch however it came about (a second git
// run for an untracked file, bytes that are not UTF-8, the size bound); git failing after part
// of a patch gives the failure answer. The watched output arrives whole past the pipe's size.
TEST(DiffHelperPatchStreamTests, AnswersFromGitAreThoseOfTheFinishedPatch) {
    OrvexTest::TempGitRepo repo;
    std::string original, changed;
    for (int i = 0; i < 9000; ++i) {
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
    repo.write("huge.txt", std::string(1500 * 1024, 'x') + "\n");
    repo.write("new.txt", "a new file\n");

    GitCLIService git;
    auto answer = [&](const std::string& path) {
        auto line =
            DiffHelperRequest{"id", DiffHelperOp::patch, repo.path(), base, path}.encodedLine();
        line.pop_back();
        return OrvexDiffHelper::handle(line, git).bytes;
    };
    for (const char* path : {"big.txt", "latin1.txt", "huge.txt", "new.txt", "README.md"}) {
        EXPECT_EQ(answer(path), answerLine("id", git.filePatch(repo.path(), path, base), path))
            << path;
    }

    Recorder recorder;
    Platform::OutputObserver::Scope watching(recorder);
    auto run = Platform::runToCompletion("/bin/sh", {"-c", "exec 2>&-; seq 1 300000"});
    EXPECT_TRUE(recorder.seen == run.output && run.output.size() > 1'500'000);

    const auto script = repo.file(".git/failing-diff");
    OrvexTest::writeFile(script, "#!/bin/sh\nprintf 'diff --git a/big.txt b/big.txt\\n'\nexit 3\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    repo.git({"config", "diff.external", script});
    auto failure = answer("big.txt");
    auto response = DiffHelperCoding::decodeResponse(failure.substr(0, failure.size() - 1));
    EXPECT_FALSE(response.ok || response.id || response.patch || response.path) << failure;
    EXPECT_NE(response.error.value_or("").find("external diff died"), std::string::npos) << failure;
}
