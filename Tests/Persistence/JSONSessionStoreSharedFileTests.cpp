// Two processes saving one store file, each starting fresh stores over and over (as one
// command-line run after another does): a store starting up must not take away the other
// process's file in the middle of its write.

#include "OrvexCore/Persistence/JSONSessionStore.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OrvexCore/Platform/AtomicFile.hpp"
#include "Persistence/StateFixtures.hpp"
#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
using namespace OrvexCore;

namespace {

/// The child's whole life: `rounds` fresh stores, one save and flush each. Exits with the
/// number of writes that failed, whether or not the flush said so, plus 100 when a flush
/// returned although its write had failed.
[[noreturn]] void saveInFreshStores(const std::string& path, int child, int rounds) {
    std::atomic<int> failedWrites = 0;
    int silentFailures = 0;
    for (int round = 0; round < rounds; ++round) {
        int failedBefore = failedWrites;
        JSONSessionStore store(path, [&failedWrites](const std::string& p, std::string_view b) {
            try {
                JSONSessionStore::writeSnapshotFile(p, b);
            } catch (...) {
                ++failedWrites;
                throw;
            }
        });
        store.save(OrvexTest::sampleState(1, 2 + child, static_cast<std::uint64_t>(round)));
        try {
            store.flush();
            silentFailures += failedWrites != failedBefore;
        } catch (...) {
        }
    }
    ::_exit(std::min(failedWrites.load(), 99) + (silentFailures > 0 ? 100 : 0));
}

} // namespace

TEST(JSONSessionStoreSharedFile, AStoreStartingUpLeavesAnotherWritersFileAlone) {
    OrvexTest::TempDir dir;
    const std::string path = dir / "Orvex/store.json";
    constexpr int rounds = 60;
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        children[child] = ::fork();
        ASSERT_GE(children[child], 0);
        if (children[child] == 0) {
            saveInFreshStores(path, child, rounds);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << "failed writes (plus 100 when a flush hid one): " << WEXITSTATUS(status);
    }
    for (const auto& entry : fs::directory_iterator(dir / "Orvex")) {
        EXPECT_FALSE(Platform::isTemporaryFileName(entry.path().filename().string(), "store.json"))
            << entry.path();
    }
    EXPECT_NO_THROW(JSONSessionStore(path).load());
}
