// Kills a real process at random moments while it saves, and checks that the file it leaves
// always holds one whole snapshot that the process handed over.

#include "OrvexCore/Persistence/JSONSessionStore.hpp"

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OrvexCore/Platform/AtomicFile.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "Persistence/StateFixtures.hpp"
#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
using namespace OrvexCore;

namespace {

/// Snapshots differ in size as well as content, so a torn write cannot pass for a whole one.
PersistedState snapshot(std::uint64_t generation) {
    return OrvexTest::sampleState(3, 10 + static_cast<int>(generation % 15), generation, 4);
}

/// The generation a snapshot was made from, read back from its first workspace's name.
std::uint64_t generationOf(const PersistedState& state) {
    const std::string& name = state.workspaces.at(0).displayName;
    return std::stoull(name.substr(name.rfind(' ') + 1));
}

bool writeLine(int fd, const std::string& line) {
    std::string text = line + "\n";
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

/// The child's whole life: saves ever newer snapshots, reporting each one as it is handed to
/// the store, flushing now and then, until it is killed. Never returns.
[[noreturn]] void saveUntilKilled(const std::string& storePath, std::uint64_t firstGeneration,
                                  int reportFd) {
    try {
        JSONSessionStore store(storePath);
        // Each snapshot is reported before it is handed to the store: the store's writer may
        // put it on disk at once, and a kill can land before a report written after `save`.
        std::uint64_t generation = firstGeneration;
        if (!writeLine(reportFd, "handed " + std::to_string(generation))) {
            ::_exit(2);
        }
        store.save(snapshot(generation));
        store.flush();
        if (!writeLine(reportFd, "ready")) {
            ::_exit(2);
        }
        for (;;) {
            ++generation;
            if (!writeLine(reportFd, "handed " + std::to_string(generation))) {
                ::_exit(2);
            }
            store.save(snapshot(generation));
            if (generation % 4 == 0) {
                store.flush();
            }
        }
    } catch (...) {
        ::_exit(3);
    }
}

/// Reads the child's reports until `marker` appears or the pipe ends.
std::string readUntil(int fd, std::string_view marker) {
    std::string output;
    char buffer[4096];
    while (marker.empty() || output.find(marker) == std::string::npos) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        output.append(buffer, static_cast<size_t>(count));
    }
    return output;
}

/// The generations reported as handed over, from whole lines only: the child may die mid-line.
std::set<std::uint64_t> handedOver(const std::string& output) {
    std::set<std::uint64_t> generations;
    auto lines = Text::split(output, '\n', true);
    lines.pop_back(); // what follows the last line feed
    for (auto line : lines) {
        if (line.starts_with("handed ")) {
            generations.insert(std::stoull(std::string(line.substr(7))));
        }
    }
    return generations;
}

} // namespace

TEST(JSONSessionStoreCrash, KilledWhileSavingLeavesAWholeSnapshot) {
    OrvexTest::TempDir dir;
    std::string storePath = dir / "Orvex/store.json";
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delayMicroseconds(0, 150000);
    std::set<std::uint64_t> allHanded;
    int killedWithTemporaryFile = 0;
    int distinctSnapshotsSeen = 0;
    std::uint64_t previous = 0;

    constexpr int kills = 50;
    for (int round = 0; round < kills; ++round) {
        int report[2];
        ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
        // A forked child (no exec) starts in milliseconds, so the kills land anywhere in its
        // save loop: inside a write, between the rename and the folder sync, or idle.
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(report[0]);
            saveUntilKilled(storePath, 1000000 * static_cast<std::uint64_t>(round + 1), report[1]);
        }
        ::close(report[1]);
        std::string output = readUntil(report[0], "ready\n");
        ASSERT_NE(output.find("ready\n"), std::string::npos) << output;
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(pid, SIGKILL);
        output += readUntil(report[0], "");
        ::close(report[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        std::set<std::uint64_t> handed = handedOver(output);
        allHanded.insert(handed.begin(), handed.end());

        for (const auto& entry : fs::directory_iterator(dir / "Orvex")) {
            killedWithTemporaryFile +=
                Platform::isTemporaryFileName(entry.path().filename().string(), "store.json");
        }
        PersistedState loaded;
        ASSERT_NO_THROW(loaded = JSONSessionStore(storePath).load()) << "round " << round;
        std::uint64_t generation = generationOf(loaded);
        EXPECT_TRUE(handed.contains(generation)) << "round " << round << ": " << generation;
        EXPECT_EQ(loaded, snapshot(generation)) << "round " << round;
        distinctSnapshotsSeen += generation != previous;
        previous = generation;
    }
    std::cout << "[          ] " << kills << " kills, " << allHanded.size()
              << " snapshots handed over, " << killedWithTemporaryFile
              << " kills left a temporary file behind\n";
    EXPECT_EQ(distinctSnapshotsSeen, kills);

    // A clean save and flush afterwards clears what the killed writers left behind.
    JSONSessionStore store(storePath);
    store.save(snapshot(1));
    store.flush();
    EXPECT_EQ(OrvexTest::entries(dir / "Orvex"), std::vector<std::string>{"store.json"});
    EXPECT_EQ(store.load(), snapshot(1));
}
