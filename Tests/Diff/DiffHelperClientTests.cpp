#include "OrvexCore/Diff/DiffHelperClient.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "Diff/DiffHelperTestSupport.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace OrvexCore;
using ClientError = DiffHelperClient::ClientError;
using namespace std::chrono_literals;

namespace {

/// The kind of the `ClientError` that `future` ends with, or nothing when it succeeds.
template <class T> std::optional<ClientError::Kind> failureKind(std::future<T>& future) {
    try {
        future.get();
        return std::nullopt;
    } catch (const ClientError& e) {
        return e.kind();
    }
}

/// Live (not zombie) helper processes started by this test process.
std::vector<pid_t> liveHelpers(const std::string& executable) {
    std::vector<pid_t> pids;
    for (const auto& child : OrvexTest::childProcesses()) {
        if (child.executable == executable && child.state != 'Z' && child.state != 'X') {
            pids.push_back(child.pid);
        }
    }
    return pids;
}

/// True once the child `pid` has ended so that waiting for it would succeed now: what the
/// pool sees when it asks whether a helper still runs. The child is left unreaped (WNOWAIT) for
/// the pool to reap. A process that has vanished from /proc's listing of live helpers can still
/// be mid-exit, not yet reapable: the pool would still find it running.
bool exitIsObservable(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

/// The client's operations run from a main executor on its own thread, as in the
/// application; the test thread waits on futures.
class DiffHelperClientTests : public ::testing::Test {
protected:
    DiffHelperClientTests() : work_(asio::make_work_guard(context_)) {
        backgroundPool(); // made before any descriptor count is taken
        runner_ = std::thread([this] { context_.run(); });
    }
    ~DiffHelperClientTests() override {
        // A test that stopped early may have left requests held by a blocking helper.
        release("all");
        work_.reset();
        runner_.join();
    }

    template <class T> std::future<T> launch(asio::awaitable<T> task) {
        return asio::co_spawn(context_, std::move(task), asio::use_future);
    }
    template <class T> T await(asio::awaitable<T> task) { return launch(std::move(task)).get(); }

    std::shared_ptr<DiffHelperClient> startedClient(const std::string& helper = ORVEX_HELPER_PATH) {
        auto client = DiffHelperClient::create(helper);
        await(client->start());
        return client;
    }

    /// A fake helper: a bash script whose loop body handles one request `$line`; `$dir` is a
    /// scratch folder shared with the test.
    std::string fakeHelper(const std::string& loopBody) {
        std::string path = scratch_ / "fake-helper";
        std::ofstream(path) << "#!/bin/bash\ndir='" << scratch_.path() << "'\n"
                            << "while IFS= read -r line; do\n"
                            << loopBody << "\ndone\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    /// A fake helper that notes "PID PATH" in `log` when a patch request arrives, holds it
    /// until the file release-PATH (or release-all) exists, then answers with its PID as the
    /// patch.
    std::string blockingHelper() {
        return fakeHelper(R"(
  case "$line" in *'"op":"shutdown"'*) echo "$$ shutdown" >> "$dir/log"; exit 0 ;; esac
  path="${line#*\"path\":\"}"; path="${path%%\"*}"
  echo "$$ $path" >> "$dir/log"
  until [ -e "$dir/release-$path" ] || [ -e "$dir/release-all" ]; do sleep 0.01; done
  printf '{"id":"patch","ok":true,"path":"%s","patch":"%s"}\n' "$path" "$$")");
    }

    /// Request path -> helper PID, from the blocking helper's log.
    std::map<std::string, std::string> arrivals() {
        std::map<std::string, std::string> seen;
        std::ifstream log(scratch_ / "log");
        std::string pid, path;
        while (log >> pid >> path) {
            seen[path] = pid;
        }
        return seen;
    }
    bool arrived(size_t count) {
        return OrvexTest::eventually([&] { return arrivals().size() >= count; });
    }
    void release(const std::string& path) {
        OrvexTest::writeFile(scratch_ / ("release-" + path), "");
    }

    std::future<std::string> patchRequest(DiffHelperClient& client, const std::string& path) {
        return launch(client.patch("/w", "main", path));
    }

    OrvexTest::TempDir scratch_;
    const std::string helperPath_ = fs::canonical(ORVEX_HELPER_PATH).string();

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread runner_;
};

} // namespace

TEST_F(DiffHelperClientTests, RequestsBeforeStartFailWithoutSpawning) {
    auto client = DiffHelperClient::create(ORVEX_HELPER_PATH);
    auto list = launch(client->list("/w", "main"));
    auto patch = launch(client->patch("/w", "main", "a"));
    EXPECT_EQ(failureKind(list), ClientError::Kind::notRunning);
    EXPECT_EQ(failureKind(patch), ClientError::Kind::notRunning);
    EXPECT_EQ(await(client->spawnedProcessCount()), 0);
    EXPECT_FALSE(await(client->isRunning()));
}

TEST_F(DiffHelperClientTests, StartRefusesAHelperThatIsMissingOrNotExecutable) {
    std::string plain = scratch_ / "not-executable";
    OrvexTest::writeFile(plain, "#!/bin/sh\n");
    for (const std::string& path : {scratch_ / "missing", plain, scratch_.path()}) {
        auto client = DiffHelperClient::create(path);
        auto refused = OrvexTest::thrownBy<ClientError>([&] { await(client->start()); });
        ASSERT_EQ(refused, ClientError::spawnFailed("Diff helper not found at " + path));
        EXPECT_EQ(refused->description(), "Diff helper not found at " + path);
        EXPECT_FALSE(await(client->isRunning()));
    }
}

TEST_F(DiffHelperClientTests, DefaultHelperIsBesideTheExecutableThenInTheBuildFolders) {
    EXPECT_EQ(fs::canonical(DiffHelperClient::defaultHelperURL()), helperPath_);

    std::string app = scratch_ / "app/bin/Orvex";
    OrvexTest::writeFile(app, "");
    std::string work = scratch_ / "work";
    fs::create_directories(work);
    std::string built = work + "/.build/debug/OrvexDiffHelper";
    std::string unchecked = work + "/.build/arm64-apple-macosx/debug/OrvexDiffHelper";
    EXPECT_EQ(DiffHelperClient::defaultHelperURL(app, work), unchecked);

    OrvexTest::writeFile(built, "#!/bin/sh\n");
    EXPECT_EQ(DiffHelperClient::defaultHelperURL(app, work), unchecked) << "not executable";
    fs::permissions(built, fs::perms::owner_all);
    EXPECT_EQ(DiffHelperClient::defaultHelperURL(app, work), built);
    EXPECT_EQ(DiffHelperClient::defaultHelperURL("", work), built);

    std::string beside = scratch_ / "app/bin/OrvexDiffHelper";
    OrvexTest::writeFile(beside, "#!/bin/sh\n");
    EXPECT_EQ(DiffHelperClient::defaultHelperURL(app, work), built) << "not executable";
    fs::permissions(beside, fs::perms::owner_all);
    EXPECT_EQ(DiffHelperClient::defaultHelperURL(app, work), beside);
}

TEST_F(DiffHelperClientTests, ListAndPatchGiveWhatGitGivesAndReuseOneProcess) {
    OrvexTest::TempGitRepo repo;
    std::string base = repo.head();
    repo.write("README.md", "changed\n");
    repo.write("src/n\xc3\xabw file.txt", "a\nb\n");
    repo.git({"add", "-A"});
    GitCLIService git;
    auto client = startedClient();

    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(await(client->list(repo.path(), base)), git.diff(repo.path(), base));
    }
    EXPECT_EQ(await(client->patch(repo.path(), base, "src/n\xc3\xabw file.txt")),
              git.filePatch(repo.path(), "src/n\xc3\xabw file.txt", base));
    EXPECT_EQ(await(client->patch(repo.path(), base, "unchanged")), "");
    EXPECT_EQ(await(client->spawnedProcessCount()), 1);
    EXPECT_EQ(await(client->liveWorkerCount()), 1);

    // The helper's failure text reaches the caller, and the helper stays.
    auto unknownBase =
        OrvexTest::thrownBy<ClientError>([&] { await(client->list(repo.path(), "no-such-ref")); });
    ASSERT_TRUE(unknownBase);
    EXPECT_EQ(unknownBase->kind(), ClientError::Kind::helperError);
    EXPECT_NE(unknownBase->message().find("no-such-ref"), std::string::npos);
    EXPECT_EQ(await(client->list(repo.path(), base)).size(), 2u);
    EXPECT_EQ(await(client->spawnedProcessCount()), 1);

    // A client shut down can start again with a fresh helper.
    await(client->shutdown());
    EXPECT_EQ(await(client->liveWorkerCount()), 0);
    await(client->start());
    EXPECT_EQ(await(client->list(repo.path(), base)).size(), 2u);
    EXPECT_EQ(await(client->spawnedProcessCount()), 2);
    await(client->shutdown());
}

TEST_F(DiffHelperClientTests, PoolConcurrencyFourthRequestWaitsForTheFirstWorkerCheckedIn) {
    auto client = startedClient(blockingHelper());
    auto r1 = patchRequest(*client, "r1");
    auto r2 = patchRequest(*client, "r2");
    auto r3 = patchRequest(*client, "r3");
    ASSERT_TRUE(arrived(3));
    auto r4 = patchRequest(*client, "r4");
    auto r5 = patchRequest(*client, "r5");
    EXPECT_EQ(await(client->spawnedProcessCount()), 3);
    EXPECT_EQ(OrvexTest::childProcesses().size(), 3u);
    EXPECT_EQ(r4.wait_for(100ms), std::future_status::timeout);

    auto first = arrivals();
    release("r2");
    EXPECT_EQ(r2.get(), first["r2"]);
    ASSERT_TRUE(arrived(4));
    EXPECT_EQ(arrivals()["r4"], first["r2"]) << "the longest waiter gets the worker";
    EXPECT_EQ(r5.wait_for(0s), std::future_status::timeout);

    release("r3");
    ASSERT_TRUE(arrived(5));
    EXPECT_EQ(arrivals()["r5"], first["r3"]);
    EXPECT_EQ(r3.get(), first["r3"]);

    // Checked in one after another, the idle workers form a stack: the last one in is lent
    // first.
    release("r1");
    EXPECT_EQ(r1.get(), first["r1"]);
    release("r4");
    EXPECT_EQ(r4.get(), first["r2"]);
    release("r5");
    EXPECT_EQ(r5.get(), first["r3"]);
    release("r6");
    EXPECT_EQ(await(client->patch("/w", "main", "r6")), first["r3"]);
    EXPECT_EQ(await(client->spawnedProcessCount()), 3);
    await(client->shutdown());
}

TEST_F(DiffHelperClientTests, HelperKilledWhileIdleIsDroppedAndReplaced) {
    OrvexTest::TempGitRepo repo;
    auto client = startedClient();
    EXPECT_TRUE(await(client->list(repo.path(), "HEAD")).empty());
    auto helpers = liveHelpers(helperPath_);
    ASSERT_EQ(helpers.size(), 1u);
    ::kill(helpers[0], SIGKILL);
    const pid_t killed = helpers[0];
    ASSERT_TRUE(OrvexTest::eventually([&] { return exitIsObservable(killed); }));

    EXPECT_TRUE(await(client->list(repo.path(), "HEAD")).empty());
    EXPECT_EQ(await(client->spawnedProcessCount()), 2);
    EXPECT_EQ(await(client->liveWorkerCount()), 1);
    EXPECT_EQ(liveHelpers(helperPath_).size(), 1u);
    EXPECT_TRUE(OrvexTest::eventually([] {
        auto children = OrvexTest::childProcesses();
        return std::none_of(children.begin(), children.end(),
                            [](auto& c) { return c.state == 'Z'; });
    })) << "the dead one is reaped";
    await(client->shutdown());
}

TEST_F(DiffHelperClientTests, HelperKilledDuringARequestIsCrashedAndAWaiterGetsAFreshOne) {
    auto client = startedClient(blockingHelper());
    auto r1 = patchRequest(*client, "r1");
    auto r2 = patchRequest(*client, "r2");
    auto r3 = patchRequest(*client, "r3");
    ASSERT_TRUE(arrived(3));
    auto r4 = patchRequest(*client, "r4");
    auto first = arrivals();

    ::kill(std::stoi(first["r1"]), SIGKILL);
    EXPECT_EQ(failureKind(r1), ClientError::Kind::crashed);
    ASSERT_TRUE(arrived(4));
    std::string fresh = arrivals()["r4"];
    EXPECT_NE(fresh, first["r1"]);
    EXPECT_NE(fresh, first["r2"]);
    EXPECT_NE(fresh, first["r3"]);
    EXPECT_EQ(await(client->spawnedProcessCount()), 4);
    EXPECT_EQ(await(client->liveWorkerCount()), 3);
    for (auto path : {"r2", "r3", "r4"}) {
        release(path);
    }
    EXPECT_EQ(r4.get(), fresh);
    r2.get();
    r3.get();
    await(client->shutdown());
}

TEST_F(DiffHelperClientTests, FailureAnswersAndUnreadableAnswers) {
    auto refusing = startedClient(fakeHelper(R"(echo '{"ok":false}')"));
    auto refused = OrvexTest::thrownBy<ClientError>([&] { await(refusing->list("/w", "main")); });
    EXPECT_EQ(refused, ClientError::helperError("unknown"));
    await(refusing->shutdown());

    // An answer that is not a response is the decoder's error; the helper itself is fine and
    // serves the next request.
    auto garbled = startedClient(fakeHelper(R"(echo 'this is not a response')"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_THROW(await(garbled->list("/w", "main")), DiffHelperDecodingError);
    }
    EXPECT_EQ(await(garbled->spawnedProcessCount()), 1);
    EXPECT_EQ(await(garbled->liveWorkerCount()), 1);
    await(garbled->shutdown());

    // A helper that exits at once is noticed by the round trip.
    auto quitting = startedClient(fakeHelper("exit 0"));
    auto crashed = launch(quitting->list("/w", "main"));
    EXPECT_EQ(failureKind(crashed), ClientError::Kind::crashed);
    EXPECT_EQ(await(quitting->liveWorkerCount()), 0);
    await(quitting->shutdown());
}

TEST_F(DiffHelperClientTests, PoolShutdownReleasesWaitersAndStopsEveryHelper) {
    auto client = startedClient(blockingHelper());
    std::vector<std::future<std::string>> busy;
    for (auto path : {"r1", "r2", "r3"}) {
        busy.push_back(patchRequest(*client, path));
    }
    ASSERT_TRUE(arrived(3));
    auto w1 = patchRequest(*client, "r4");
    auto w2 = patchRequest(*client, "r5");
    EXPECT_EQ(w1.wait_for(100ms), std::future_status::timeout);

    await(client->shutdown());
    EXPECT_EQ(failureKind(w1), ClientError::Kind::notRunning);
    EXPECT_EQ(failureKind(w2), ClientError::Kind::notRunning);
    EXPECT_FALSE(await(client->isRunning()));
    auto late = launch(client->list("/w", "main"));
    EXPECT_EQ(failureKind(late), ClientError::Kind::notRunning);

    // Lent helpers finish their requests, then go.
    for (auto path : {"r1", "r2", "r3"}) {
        release(path);
    }
    for (auto& request : busy) {
        EXPECT_FALSE(request.get().empty());
    }
    EXPECT_EQ(await(client->liveWorkerCount()), 0);
    EXPECT_TRUE(OrvexTest::eventually([] { return OrvexTest::childProcesses().empty(); }));
    EXPECT_EQ(arrivals().count("r4"), 0u);
}

// Twenty requests at once, round after round, while helpers are killed at random moments:
// every request answers correctly or fails with `crashed`, the pool stays within three
// helpers, and nothing is left behind.
TEST_F(DiffHelperClientTests, PoolConcurrencyUnderLoadWithHelpersKilled) {
    OrvexTest::TempGitRepo repo;
    std::string base = repo.head();
    repo.write("README.md", "changed\n");
    repo.write("b.txt", "new\n");
    repo.git({"add", "b.txt"});
    const auto expected = GitCLIService().diff(repo.path(), base);
    const size_t descriptors = OrvexTest::openDescriptorCount();

    std::mt19937 random(99);
    int crashes = 0, answers = 0, kills = 0;
    {
        auto client = startedClient();
        for (int round = 0; round < 36; ++round) {
            std::vector<std::future<std::vector<FileDiff>>> requests;
            for (int i = 0; i < 20; ++i) {
                requests.push_back(launch(client->list(repo.path(), base)));
            }
            if (round % 3 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                auto helpers = liveHelpers(helperPath_);
                if (!helpers.empty()) {
                    ::kill(helpers[random() % helpers.size()], SIGKILL);
                    ++kills;
                }
            }
            EXPECT_LE(await(client->liveWorkerCount()), DiffHelperClient::maxWorkers);
            for (auto& request : requests) {
                try {
                    EXPECT_EQ(request.get(), expected);
                    ++answers;
                } catch (const ClientError& e) {
                    EXPECT_EQ(e, ClientError::crashed());
                    ++crashes;
                }
            }
            EXPECT_LE(await(client->liveWorkerCount()), DiffHelperClient::maxWorkers);
            EXPECT_TRUE(
                OrvexTest::eventually([&] { return liveHelpers(helperPath_).size() <= 3; }, 2s));
        }
        EXPECT_EQ(answers + crashes, 720);
        EXPECT_GT(answers, 540);
        EXPECT_GT(kills, 6);
        EXPECT_LE(crashes, kills) << "a kill fails at most the one request on that helper";
        await(client->shutdown());
    }
    EXPECT_TRUE(OrvexTest::eventually([] { return OrvexTest::childProcesses().empty(); }))
        << "a helper or a zombie is left";
    EXPECT_TRUE(OrvexTest::eventually([&] {
        return OrvexTest::openDescriptorCount() == descriptors;
    })) << OrvexTest::openDescriptorCount()
        << " descriptors open, " << descriptors << " before";
}
