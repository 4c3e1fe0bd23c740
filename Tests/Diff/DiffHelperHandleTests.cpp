#include "OrvexCore/Diff/OrvexDiffHelper.hpp"

#include <functional>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

#include "Git/ForwardingGit.hpp"
#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/GitService.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexCore;
using OrvexCore::OrvexDiffHelper::handle;

namespace {

/// Answers the two diff operations from what the test set up and records every call; any
/// other operation fails.
class FakeGitService final : public OrvexTest::ForwardingGit {
public:
    std::vector<FileDiff> files;
    std::string patchText;
    /// When set, the diff operations throw what it throws.
    std::function<void()> failure;
    std::vector<std::vector<std::string>> calls;

    std::vector<FileDiff> diff(const std::string& worktreePath, const std::string& base) override {
        calls.push_back({"diff", worktreePath, base});
        if (failure) {
            failure();
        }
        return files;
    }
    std::string filePatch(const std::string& worktreePath, const std::string& path,
                          const std::string& base) override {
        calls.push_back({"filePatch", worktreePath, path, base});
        if (failure) {
            failure();
        }
        return patchText;
    }

private:
    GitService& target() override { throw std::logic_error("the helper must not call this"); }
};

/// The one response line of `reply`, decoded; fails the test unless there is exactly one.
DiffHelperResponse onlyResponse(const OrvexDiffHelper::Reply& reply) {
    EXPECT_FALSE(reply.endProcess);
    EXPECT_FALSE(reply.bytes.empty());
    EXPECT_EQ(reply.bytes.find('\n'), reply.bytes.size() - 1) << reply.bytes;
    return DiffHelperCoding::decodeResponse(
        std::string_view(reply.bytes).substr(0, reply.bytes.size() - 1));
}

} // namespace

TEST(DiffHelperHandleTests, ListAnswersWithTheFilesAndTheRequestId) {
    FakeGitService git;
    git.files = {{"a.txt", 1, 2, ""}, {"dir/b", 0, 0, ""}};
    auto reply = handle(R"({"id":"list","op":"list","worktreePath":"\/w","base":"main"})", git);
    EXPECT_EQ(reply.bytes, R"({"files":[{"added":1,"path":"a.txt","removed":2},)"
                           R"({"added":0,"path":"dir\/b","removed":0}],"id":"list","ok":true})"
                           "\n");
    EXPECT_EQ(git.calls, (std::vector<std::vector<std::string>>{{"diff", "/w", "main"}}));

    git.files.clear();
    EXPECT_EQ(handle(R"({"op":"list","worktreePath":"/w","base":"main"})", git).bytes,
              "{\"files\":[],\"ok\":true}\n");
}

// How each malformed request is told apart is DiffHelperMessageTests' matter; here each kind
// of fault must come back as exactly one failure response without calling git.
TEST(DiffHelperHandleTests, BadRequestsGetOneFailureResponse) {
    struct Case {
        const char* name;
        std::string line;
        std::optional<std::string> id;
        std::string error; // a part of the expected error text
    };
    std::vector<Case> cases{
        {"list without base", R"({"id":"7","op":"list","worktreePath":"/w"})", "7",
         "missing worktreePath or base"},
        {"list with null base", R"({"id":"7","op":"list","worktreePath":"/w","base":null})", "7",
         "missing worktreePath or base"},
        {"list without worktree", R"({"op":"list","base":"main"})", std::nullopt,
         "missing worktreePath or base"},
        {"patch without path", R"({"id":"p","op":"patch","worktreePath":"/w","base":"main"})", "p",
         "missing worktreePath, base, or path"},
        {"not JSON", "list /w main", std::nullopt, "invalid request: not valid JSON"},
        {"bytes that are not UTF-8", "\xff\xfe{\x80", std::nullopt, "invalid request"},
        {"deeply nested", std::string(100000, '['), std::nullopt, "invalid request"},
        // Cut at a NUL, a path would name another file (or worktree) than the one asked for;
        // a NUL after the JSON would hide whatever follows it from the parser.
        {"NUL in path",
         R"({"id":"p","op":"patch","worktreePath":"/w","base":"main","path":"a.txt\u0000b"})",
         std::nullopt, "invalid request"},
        {"NUL in worktreePath",
         R"({"id":"l","op":"list","worktreePath":"/w\u0000/other","base":"main"})", std::nullopt,
         "invalid request"},
        {"NUL in base", R"({"id":"l","op":"list","worktreePath":"/w","base":"main\u0000x"})",
         std::nullopt, "invalid request"},
        {"raw NUL after the JSON",
         std::string(R"({"id":"l","op":"list","worktreePath":"/w","base":"main"})") +
             std::string("\0{\"op\":\"shutdown\"}", 18),
         std::nullopt, "invalid request"},
        {"raw NUL inside a string",
         std::string(R"({"id":"l","op":"list","worktreePath":"/w)") + std::string("\0", 1) +
             R"(x","base":"main"})",
         std::nullopt, "invalid request"},
    };
    for (const auto& c : cases) {
        FakeGitService git;
        auto response = onlyResponse(handle(c.line, git));
        EXPECT_FALSE(response.ok) << c.name;
        EXPECT_EQ(response.id, c.id) << c.name;
        ASSERT_TRUE(response.error) << c.name;
        EXPECT_NE(response.error->find(c.error), std::string::npos)
            << c.name << ": " << *response.error;
        EXPECT_FALSE(response.files || response.path || response.patch) << c.name;
        EXPECT_TRUE(git.calls.empty()) << c.name;
    }
}

TEST(DiffHelperHandleTests, FailuresOfTheGitCallSayWhatWentWrongWithoutTheId) {
    struct Case {
        const char* name;
        std::function<void()> failure;
        std::string error;
    };
    std::vector<Case> cases{
        {"git refused",
         [] { throw GitError("git -C /w diff nope", 128, "fatal: bad revision 'nope'\n"); },
         "git -C /w diff nope failed with exit status 128: fatal: bad revision 'nope'"},
        {"git said nothing", [] { throw GitError("git -C /w diff", 1, ""); },
         "git -C /w diff failed with exit status 1"},
        {"rejected name", [] { throw GitError("ref", -1, "Invalid ref name: HEAD~1"); },
         "Invalid ref name: HEAD~1"},
        {"launch failure",
         [] { throw std::system_error(ENOENT, std::generic_category(), "cannot launch git"); },
         "cannot launch git: No such file or directory"},
        {"message not UTF-8", [] { throw std::runtime_error("bad \xff byte"); },
         "bad \xef\xbf\xbd byte"},
        {"not an exception", [] { throw 42; }, "unknown failure"},
    };
    for (const auto& c : cases) {
        for (const char* line : {R"({"id":"list","op":"list","worktreePath":"/w","base":"b"})",
                                 R"({"id":"patch","op":"patch","worktreePath":"/w","base":"b",)"
                                 R"("path":"f"})"}) {
            FakeGitService git;
            git.failure = c.failure;
            auto response = onlyResponse(handle(line, git));
            EXPECT_EQ(response, (DiffHelperResponse{{}, false, {}, {}, {}, c.error}))
                << c.name << " " << line;
        }
    }
}

TEST(DiffHelperHandleTests, AnAnswerThatCannotBeEncodedBecomesAFailureResponse) {
    FakeGitService git;
    git.files = {{"name-\xff", 1, 0, ""}};
    auto response =
        onlyResponse(handle(R"({"id":"l","op":"list","worktreePath":"/w","base":"b"})", git));
    EXPECT_FALSE(response.ok);
    EXPECT_FALSE(response.id);
    EXPECT_FALSE(response.error.value_or("").empty());
}

// A long listing leaves in pieces; together they are the same line a response encodes whole,
// and it decodes to the same files.
TEST(DiffHelperHandleTests, ALongListGoesOutInPiecesThatMakeOneLine) {
    FakeGitService git;
    for (int i = 0; i < 5000; ++i) {
        git.files.push_back(
            {"folder/" + std::to_string(100000 + i) + "/\"quoted\"\tname.txt", i, 5000 - i, ""});
    }
    std::vector<std::string> pieces;
    auto outcome = handle(R"({"id":"list","op":"list","worktreePath":"/w","base":"main"})", git,
                          [&](std::string_view bytes) {
                              pieces.emplace_back(bytes);
                              return true;
                          });
    EXPECT_EQ(outcome, OrvexDiffHelper::Outcome::answered);
    EXPECT_GT(pieces.size(), 3u);
    std::string line;
    for (const auto& piece : pieces) {
        line += piece;
    }
    DiffHelperResponse whole{"list", true, git.files, {}, {}, {}};
    EXPECT_EQ(line, whole.encodedLine());
    EXPECT_EQ(onlyResponse({line, false}), whole);

    // A sink that refuses bytes stops the list at once.
    int offered = 0;
    outcome = handle(R"({"id":"list","op":"list","worktreePath":"/w","base":"main"})", git,
                     [&](std::string_view) { return ++offered < 2; });
    EXPECT_EQ(outcome, OrvexDiffHelper::Outcome::sinkFailed);
    EXPECT_EQ(offered, 2);
}
