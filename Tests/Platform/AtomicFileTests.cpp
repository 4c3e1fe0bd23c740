#include "OrvexCore/Platform/AtomicFile.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

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

TEST(AtomicFile, CreatesOnlyMissingFoldersPrivatelyAndTheFileWithTheGivenMode) {
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

    // Folders that were there already keep their modes.
    fs::create_directory(dir / "shared");
    ::chmod((dir / "shared").c_str(), 0755);
    writeFileAtomically(dir / "shared/file", "x");
    EXPECT_EQ(permissions(dir / "shared"), 0755);
}

TEST(AtomicFile, ReplacesAnExistingFileWhateverTheContentAndTightensItsMode) {
    TempDir dir;
    std::string path = dir / "file";
    writeFile(path, "old content that is longer than the new one");
    ::chmod(path.c_str(), 0644);

    writeFileAtomically(path, "new");

    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(permissions(path), 0600);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"file"});

    const std::string binary("a\0b\xff", 4);
    writeFileAtomically(path, binary);
    EXPECT_EQ(readFile(path), binary);
    writeFileAtomically(path, "");
    EXPECT_EQ(readFile(path), "");
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

    auto error =
        OrvexTest::thrownBy<std::system_error>([&] { writeFileAtomically(dir / "target", "x"); });
    ASSERT_TRUE(error) << "expected an error";
    EXPECT_NE(std::string(error->what()).find(dir / "target"), std::string::npos) << error->what();
    EXPECT_TRUE(fs::is_directory(dir / "target/inside"));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"target"});
}

namespace {

/// The pid of a process that has ended and been reaped.
pid_t goneProcess() {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

} // namespace

TEST(AtomicFile, RemovesOnlyTemporaryFilesWhoseWriterIsGone) {
    TempDir dir;
    const std::string gone = std::to_string(goneProcess());
    const std::string self = std::to_string(::getpid());
    const std::string parent = std::to_string(::getppid());
    struct Case {
        std::string name;
        bool removed;
    };
    const std::vector<Case> cases{
        {".store.json.tmp-" + gone + "-a1B2c3", true},
        {".store.json.tmp-" + gone + "-locked", false}, // held by a writer elsewhere
        {".store.json.tmp-" + self + "-a1B2c3", false}, // this process may be writing it
        {".store.json.tmp-" + parent + "-a1B2c3", false},
        {".store.json.tmp-a1B2c3", false}, // no pid: nothing proves its writer gone
        {".store.json.tmp-" + gone + "-toolong", false},
        {".other.json.tmp-" + gone + "-a1B2c3", false},
        {"store.json", false},
    };
    for (const auto& c : cases) {
        writeFile(dir / c.name, "x");
    }
    int lockHolder = ::open((dir / cases[1].name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lockHolder, LOCK_EX), 0);

    removeStaleTemporaryFiles(dir / "store.json");
    ::close(lockHolder);

    for (const auto& c : cases) {
        EXPECT_EQ(fs::exists(dir / c.name), !c.removed) << c.name;
    }
    removeStaleTemporaryFiles(dir / "missing-folder/store.json");
}

TEST(AtomicFile, TemporaryFilesNameTheirWriter) {
    EXPECT_TRUE(isTemporaryFileName(".store.json.tmp-" + std::to_string(::getpid()) + "-Ab12Cd",
                                    "store.json"));
    EXPECT_FALSE(isTemporaryFileName(".store.json.tmp-Ab12Cd", "store.json"));
    EXPECT_FALSE(isTemporaryFileName(".store.json.tmp--1-Ab12Cd", "store.json"));
}

TEST(AtomicFile, OneResolutionReachesTheFileTheKernelOpens) {
    TempDir dir;
    fs::create_directories(dir / "real/sub");
    fs::create_directory_symlink(dir / "real/sub", dir / "link");
    // "link/.." is the folder above the link's target, not the folder holding the link.
    EXPECT_EQ(resolvedFilePath(dir / "link/../store.json"), dir / "real/store.json");
    writeFileAtomically(dir / "link/../store.json", "x");
    EXPECT_EQ(readFile(dir / "real/store.json"), "x");
    EXPECT_FALSE(fs::exists(dir / "store.json"));
}

TEST(AtomicFile, ASymbolicLinkIsWrittenThroughNotReplaced) {
    TempDir dir;
    fs::create_directories(dir / "dotfiles");
    writeFile(dir / "dotfiles/defaults.json", "old");
    fs::create_symlink("dotfiles/defaults.json", dir / "defaults.json");
    fs::create_symlink(dir / "dotfiles/new.json", dir / "dangling.json");

    writeFileAtomically(dir / "defaults.json", "new");
    writeFileAtomically(dir / "dangling.json", "created");

    EXPECT_TRUE(fs::is_symlink(dir / "defaults.json"));
    EXPECT_EQ(readFile(dir / "dotfiles/defaults.json"), "new");
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.json"));
    EXPECT_EQ(readFile(dir / "dotfiles/new.json"), "created");
}
