#include "OrvexCore/Persistence/JSONSessionStore.hpp"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "OrvexCore/Models/DecodingError.hpp"
#include "Persistence/StateFixtures.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

namespace fs = std::filesystem;
using namespace OrvexCore;
using OrvexTest::entries;
using OrvexTest::permissions;
using OrvexTest::readFile;
using OrvexTest::sampleState;
using OrvexTest::TempDir;
using OrvexTest::thrownBy;
using OrvexTest::writeFile;

namespace {

/// Wraps the real writer: records every write and can hold the store's thread inside one.
class RecordingWriter {
public:
    JSONSessionStore::Writer writer() {
        return [this](const std::string& path, std::string_view bytes) {
            std::unique_lock lock(mutex_);
            written_.emplace_back(bytes);
            entered_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !holding_; });
            if (failNext_) {
                failNext_ = false;
                throw std::system_error(EIO, std::generic_category(), "injected");
            }
            lock.unlock();
            JSONSessionStore::writeSnapshotFile(path, bytes);
        };
    }

    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
        entered_ = false;
    }
    void waitUntilEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }
    void failNext() {
        std::lock_guard lock(mutex_);
        failNext_ = true;
    }
    std::vector<std::string> written() {
        std::lock_guard lock(mutex_);
        return written_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> written_;
    bool holding_ = false;
    bool entered_ = false;
    bool failNext_ = false;
};

} // namespace

TEST(JSONSessionStore, NoFileLoadsTheEmptyStateAndCreatesNothing) {
    TempDir dir;
    JSONSessionStore store(dir / "Orvex/store.json");
    EXPECT_EQ(store.load(), PersistedState{});
    store.flush();
    EXPECT_TRUE(entries(dir.path()).empty());

    // A plain file where the folder would be also means there is no store yet.
    writeFile(dir / "blocker", "x");
    EXPECT_EQ(JSONSessionStore(dir / "blocker/store.json").load(), PersistedState{});
}

TEST(JSONSessionStore, SaveAndFlushWritesAPrivateFileThatLoadsBack) {
    TempDir dir;
    mode_t previous = ::umask(0);
    PersistedState state = sampleState(3, 4);
    {
        JSONSessionStore store(dir / "support/Orvex/store.json");
        store.save(state);
        store.flush();
    }
    ::umask(previous);

    EXPECT_EQ(permissions(dir / "support"), 0700);
    EXPECT_EQ(permissions(dir / "support/Orvex"), 0700);
    EXPECT_EQ(permissions(dir / "support/Orvex/store.json"), 0600);
    EXPECT_EQ(entries(dir / "support/Orvex"), std::vector<std::string>{"store.json"});
    EXPECT_EQ(readFile(dir / "support/Orvex/store.json"), encodePersistedState(state));
    EXPECT_EQ(JSONSessionStore(dir / "support/Orvex/store.json").load(), state);
}

TEST(JSONSessionStore, ABurstOfSavesIsWrittenOnceAsTheNewestSnapshot) {
    TempDir dir;
    RecordingWriter recorder;
    JSONSessionStore store(dir / "store.json", recorder.writer());
    PersistedState first = sampleState(1, 1, 0);

    // Hold the store's thread inside the first write so the burst queues up behind it.
    recorder.hold();
    store.save(first);
    recorder.waitUntilEntered();
    for (std::uint64_t generation = 1; generation <= 200; ++generation) {
        store.save(sampleState(1, 2, generation));
    }
    recorder.release();
    store.flush();
    store.flush();

    std::vector<std::string> written = recorder.written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], encodePersistedState(first));
    EXPECT_EQ(written[1], encodePersistedState(sampleState(1, 2, 200)));
    EXPECT_EQ(store.load(), sampleState(1, 2, 200));
}

TEST(JSONSessionStore, AFailedWriteIsReportedByFlushAndWrittenAgainLater) {
    TempDir dir;
    writeFile(dir / "Orvex", "a plain file where the folder belongs");
    JSONSessionStore blocked(dir / "Orvex/store.json");
    blocked.save(sampleState(1, 1));
    EXPECT_THROW(blocked.flush(), std::system_error);
    fs::remove(dir / "Orvex");
    blocked.save(sampleState(1, 1, 2));
    blocked.flush();
    EXPECT_EQ(blocked.load(), sampleState(1, 1, 2));

    RecordingWriter recorder;
    JSONSessionStore store(dir / "other.json", recorder.writer());
    store.save(sampleState(1, 1, 1));
    store.flush();
    // The write that fails is the save's own, before anyone flushes: the snapshot stays
    // pending, so the flush that follows writes it rather than passing for success.
    recorder.failNext();
    recorder.hold();
    store.save(sampleState(1, 1, 2));
    recorder.waitUntilEntered();
    recorder.release();
    store.flush();
    EXPECT_EQ(recorder.written().size(), 3u);
    EXPECT_EQ(store.load(), sampleState(1, 1, 2));
}

TEST(JSONSessionStore, FlushFromTheStoresOwnThreadDoesNotWaitForItself) {
    TempDir dir;
    JSONSessionStore* self = nullptr;
    int writes = 0;
    JSONSessionStore store(dir / "store.json", [&](const std::string& path, std::string_view b) {
        ++writes;
        JSONSessionStore::writeSnapshotFile(path, b);
        self->flush();
    });
    self = &store;
    store.save(sampleState(1, 1));
    store.flush();
    EXPECT_EQ(writes, 1);
}

TEST(JSONSessionStore, BadFilesFailToLoadNamingTheFile) {
    TempDir dir;
    const std::vector<std::string> contents{
        "",
        "{\"workspaces\":[],\"sessions\":[",
        "{\"workspaces\":[]}",
        encodePersistedState(sampleState(1, 1)).substr(0, 200),
    };
    for (const std::string& content : contents) {
        writeFile(dir / "store.json", content);
        auto error = thrownBy<DecodingError>([&] { JSONSessionStore(dir / "store.json").load(); });
        ASSERT_TRUE(error) << content << " loaded";
        EXPECT_EQ(error->file(), dir / "store.json");
        EXPECT_NE(std::string(error->what()).find(dir / "store.json"), std::string::npos);
    }
    fs::create_directory(dir / "folder.json");
    EXPECT_THROW(JSONSessionStore(dir / "folder.json").load(), std::system_error);
}

TEST(JSONSessionStore, APathThroughASymbolicLinkAndDotDotLoadsWhatItSaved) {
    TempDir dir;
    fs::create_directories(dir / "real/sub");
    fs::create_directory_symlink(dir / "real/sub", dir / "link");
    JSONSessionStore store(dir / "link/../Orvex/store.json");
    store.save(sampleState(1, 1, 4));
    store.flush();
    EXPECT_EQ(store.load(), sampleState(1, 1, 4));
    EXPECT_TRUE(fs::exists(dir / "real/Orvex/store.json"));
}

TEST(JSONSessionStoreConcurrency, SavesFromManyThreadsEndWithOneWholeSnapshot) {
    TempDir dir;
    JSONSessionStore store(dir / "store.json");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 50; ++i) {
                store.save(sampleState(1, 1 + t, static_cast<std::uint64_t>(t * 1000 + i)));
                if (i % 10 == 0) {
                    store.flush();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    store.flush();
    PersistedState loaded = store.load();
    bool isALastSnapshot = false;
    for (int t = 0; t < 4; ++t) {
        isALastSnapshot |=
            loaded == sampleState(1, 1 + t, static_cast<std::uint64_t>(t * 1000 + 49));
    }
    EXPECT_TRUE(isALastSnapshot);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"store.json"});
}
