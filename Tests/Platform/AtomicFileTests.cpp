#include "OrvexCore/Platform/AtomicFile.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
using namespace OrvexCore::Platform;
using OrvexTest::entries;
using OrvexTest::permissions;
using OrvexTest::readFile;
using OrvexTest::TempDir;
using OrvexTest::writeFile;

namespace {

/// Widens the umask for one test so that modes are checked against the widest default.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskScope() { ::umask(previous_); }

private:
    mode_t previous_;
};

} // namespace

TEST(AtomicFile, CreatesMissingFoldersPrivatelyAndTheFileWithTheGivenMode) {
    TempDir dir;
    UmaskScope umask(0);
    std::string path = dir / "a/b/store.json";

    writeFileAtomically(path, "{\"x\":1}");

    EXPECT_EQ(readFile(path), "{\"x\":1}");
    EXPECT_EQ(permissions(path), 0600);
    EXPECT_EQ(permissions(dir / "a"), 0700);
    EXPECT_EQ(permissions(dir / "a/b"), 0700);
    EXPECT_EQ(entries(dir / "a/b"), std::vector<std::string>{"store.json"});

    writeFileAtomically(dir / "a/b/other", "x", 0640);
    EXPECT_EQ(permissions(dir / "a/b/other"), 0640);
}

TEST(AtomicFile, LeavesExistingFoldersAsTheyAre) {
    TempDir dir;
    fs::create_directory(dir / "shared");
    ::chmod((dir / "shared").c_str(), 0755);

    writeFileAtomically(dir / "shared/file", "x");

    EXPECT_EQ(permissions(dir / "shared"), 0755);
}

TEST(AtomicFile, ReplacesAnExistingFileAndTightensItsMode) {
    TempDir dir;
    std::string path = dir / "file";
    writeFile(path, "old content that is longer than the new one");
    ::chmod(path.c_str(), 0644);

    writeFileAtomically(path, "new");

    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(permissions(path), 0600);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"file"});
}

TEST(AtomicFile, WritesEmptyAndBinaryContent) {
    TempDir dir;
    std::string binary("a\0b\xff", 4);
    writeFileAtomically(dir / "binary", binary);
    writeFileAtomically(dir / "empty", "");
    EXPECT_EQ(readFile(dir / "binary"), binary);
    EXPECT_EQ(readFile(dir / "empty"), "");
}

TEST(AtomicFile, FailsWhenAPlainFileStandsWhereTheFolderBelongs) {
    TempDir dir;
    writeFile(dir / "blocker", "not a folder");

    EXPECT_THROW(writeFileAtomically(dir / "blocker/sub/file", "x"), std::system_error);
    EXPECT_THROW(createDirectories(dir / "blocker"), std::system_error);
    EXPECT_EQ(readFile(dir / "blocker"), "not a folder");
}

TEST(AtomicFile, FailedReplacementKeepsTheTargetAndRemovesTheTemporaryFile) {
    TempDir dir;
    // rename(2) cannot put a file over a non-empty folder, so the last step fails.
    fs::create_directories(dir / "target/inside");

    try {
        writeFileAtomically(dir / "target", "x");
        FAIL() << "expected an error";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find(dir / "target"), std::string::npos)
            << error.what();
    }
    EXPECT_TRUE(fs::is_directory(dir / "target/inside"));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"target"});
}

TEST(AtomicFile, RemovesOnlyItsOwnStaleTemporaryFiles) {
    TempDir dir;
    writeFile(dir / ".store.json.tmp-a1B2c3", "stale");
    writeFile(dir / ".store.json.tmp-zzzzzz", "stale");
    writeFile(dir / ".store.json.tmp-toolong", "keep");
    writeFile(dir / ".other.json.tmp-a1B2c3", "keep");
    writeFile(dir / "store.json", "keep");

    removeStaleTemporaryFiles(dir / "store.json");

    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{".other.json.tmp-a1B2c3", ".store.json.tmp-toolong",
                                        "store.json"}));
    removeStaleTemporaryFiles(dir / "missing-folder/store.json");
}
