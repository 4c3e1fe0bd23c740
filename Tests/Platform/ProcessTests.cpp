#include "OrvexCore/Platform/Process.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Support/ProcessProbe.hpp"
#include "Support/ReadAll.hpp"

using OrvexCore::Platform::ChildProcess;
using OrvexCore::Platform::runToCompletion;
using OrvexCore::Platform::SpawnOptions;
using OrvexCore::Platform::Stdio;

using OrvexTest::openDescriptorCount;

TEST(ProcessTests, DrainsTenMegabytesOnEachStreamWithoutBlocking) {
    auto result = runToCompletion(
        "/bin/sh", {"-c", "head -c 10485760 /dev/zero; head -c 10485760 /dev/zero >&2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.size(), 10485760u);
    EXPECT_EQ(result.error.size(), 10485760u);

    auto discarded = runToCompletion("/bin/sh", {"-c", "head -c 10485760 /dev/zero >&2"}, false);
    EXPECT_EQ(discarded.status, 0);
    EXPECT_TRUE(discarded.error.empty());
}

// A child that inherited another call's pipe would hold its write end open, and the fast
// calls would wait for the slow child's end of file. The slow child waits on a FIFO until
// the fast calls are all back, so no clock decides the outcome.
TEST(ProcessTests, FastCallsDoNotWaitForASlowOneRunningInParallel) {
    char folder[] = "/tmp/orvex-process-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/release";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto slow = std::async(std::launch::async, [&] {
        return runToCompletion("/bin/sh", {"-c", "read x < " + fifo});
    });
    std::vector<std::future<OrvexCore::Platform::CapturedOutput>> fast;
    for (int i = 0; i < 15; ++i) {
        fast.push_back(
            std::async(std::launch::async, [] { return runToCompletion("/bin/echo", {"fast"}); }));
    }
    for (auto& f : fast) {
        // Only a hang fails here; the bound just keeps the failure from blocking the suite.
        ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready)
            << "a fast call waited for the slow child";
        EXPECT_EQ(f.get().output, "fast\n");
    }
    EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    std::ofstream(fifo) << "go\n";
    EXPECT_EQ(slow.get().status, 0);
    std::filesystem::remove_all(folder);
}

TEST(ProcessTests, NoDescriptorLeaksOverManyCallsOrIntoTheChild) {
    runToCompletion("/bin/true", {});
    size_t before = openDescriptorCount();
    for (int i = 0; i < 500; ++i) {
        runToCompletion("/bin/true", {});
    }
    EXPECT_EQ(openDescriptorCount(), before);

    // A descriptor without close-on-exec, as a library's accepted socket is, stays ours.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string probe = "/proc/self/fd/" + std::to_string(fds[1]);
    const auto result =
        runToCompletion("/bin/sh", {"-c", "test -e " + probe + " && echo open || echo closed"});
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(result.output, "closed\n");
}

TEST(ProcessTests, WritingToAChildThatClosedItsInputFailsWithoutKillingUs) {
    SpawnOptions options;
    options.input = Stdio::pipe;
    auto child = ChildProcess::spawn("/bin/true", {}, options);
    child.wait();
    EXPECT_FALSE(child.writeInput(std::string(1 << 20, 'x')));
}

TEST(ProcessTests, DestroyingARunningChildKillsAndReapsIt) {
    pid_t pid;
    {
        SpawnOptions options;
        options.input = Stdio::pipe;
        auto child = ChildProcess::spawn("/bin/sleep", {"30"}, options);
        pid = child.pid();
    }
    EXPECT_EQ(::kill(pid, 0), -1) << "the child is still there (running or a zombie)";
}

TEST(ProcessTests, WorkingDirectoryAndEnvironmentAreTheGivenOnes) {
    SpawnOptions options;
    options.workingDirectory = "/tmp";
    options.environment = std::vector<std::string>{"ORVEX_PROBE=yes"};
    auto child = ChildProcess::spawn("/bin/sh",
                                     {"-c", "pwd; echo $ORVEX_PROBE; echo ${HOME:-none}"}, options);
    EXPECT_EQ(OrvexTest::readAll(child.outputFd()), "/tmp\nyes\nnone\n");
    EXPECT_EQ(child.wait(), 0);
}
