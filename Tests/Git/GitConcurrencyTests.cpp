#include <chrono>
#include <filesystem>
#include <future>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::GitCLIService;
using OrvexCore::GitError;

namespace fs = std::filesystem;

namespace {

size_t openDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

} // namespace

// One call runs git whose post-checkout hook sleeps, holding git's output pipes open; fifteen
// others run quick git calls at the same moment. If any child inherited another call's pipe
// ends, a fast call would wait for the sleeping hook's end of file.
TEST(GitConcurrencyTests, FastCallsDoNotWaitForASlowOneInParallel) {
    OrvexTest::TempGitRepo slowRepo;
    OrvexTest::TempGitRepo fastRepo;
    OrvexTest::TempDir scratch;
    const std::string started = scratch / "hook-started";
    const std::string hook = slowRepo.file(".git/hooks/post-checkout");
    OrvexTest::writeFile(hook, "#!/bin/sh\ntouch '" + started + "'\nsleep 6\n");
    fs::permissions(hook, fs::perms::owner_all);

    GitCLIService git;
    const std::string head = fastRepo.head();
    std::latch ready(16);
    auto slow = std::async(std::launch::async, [&] {
        ready.arrive_and_wait();
        git.addWorktree(slowRepo.path(), scratch / "slow", "slow");
    });
    std::vector<std::future<bool>> fast;
    for (int i = 0; i < 15; ++i) {
        fast.push_back(std::async(std::launch::async, [&] {
            ready.arrive_and_wait();
            bool allRight = true;
            // Several rounds, so that some of these pipes exist while the slow child starts.
            for (int round = 0; round < 4; ++round) {
                allRight = allRight && git.headCommit(fastRepo.path()) == head;
            }
            return allRight;
        }));
    }
    for (auto& f : fast) {
        EXPECT_TRUE(f.get());
    }
    EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the fast calls waited for the slow one";
    slow.get();
    EXPECT_TRUE(fs::exists(started)) << "the slow hook never ran";
    EXPECT_EQ(git.currentBranch(scratch / "slow"), "slow");
}

TEST(GitConcurrencyTests, NoDescriptorLeaksOverFiveHundredCalls) {
    OrvexTest::TempGitRepo repo;
    OrvexTest::TempDir plain;
    GitCLIService git;
    git.headCommit(repo.path()); // anything created once per process exists from here on
    const size_t before = openDescriptorCount();
    size_t failures = 0;
    for (int i = 0; i < 500; ++i) {
        switch (i % 4) {
        case 0:
            git.headCommit(repo.path());
            break;
        case 1:
            git.diff(repo.path(), "main");
            break;
        case 2:
            EXPECT_FALSE(git.isGitRepo(plain.path()));
            break;
        default:
            try {
                git.mergeBase(repo.path(), "main", "missing");
            } catch (const GitError&) {
                ++failures;
            }
        }
    }
    EXPECT_EQ(failures, 125u);
    EXPECT_EQ(openDescriptorCount(), before);
}
