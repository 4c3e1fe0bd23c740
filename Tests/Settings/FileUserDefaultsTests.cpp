#include "OrvexCore/Settings/FileUserDefaults.hpp"

#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using OrvexCore::FileUserDefaults;
using OrvexTest::permissions;
using OrvexTest::readFile;
using OrvexTest::TempDir;
using OrvexTest::writeFile;

namespace {

json fileContents(const std::string& path) {
    return json::parse(readFile(path));
}

} // namespace

TEST(FileUserDefaultsTests, AMissingFileReadsAsEmptyAndTheFirstChangeCreatesItPrivately) {
    TempDir dir;
    const std::string path = dir / "config/orvex/defaults.json";
    FileUserDefaults defaults(path);
    EXPECT_EQ(defaults.object("theme"), std::nullopt);
    EXPECT_FALSE(fs::exists(dir / "config"));
    EXPECT_EQ(defaults.movedAsidePath(), std::nullopt);

    defaults.set("theme", "dark");
    defaults.set("newBranchRows", 3);
    EXPECT_EQ(fileContents(path), (json{{"theme", "dark"}, {"newBranchRows", 3}}));
    EXPECT_EQ(permissions(path), 0600u);
    EXPECT_EQ(permissions(dir / "config/orvex"), 0700u);

    defaults.removeObject("theme");
    EXPECT_EQ(fileContents(path), (json{{"newBranchRows", 3}}));
    EXPECT_EQ(FileUserDefaults(path).object("newBranchRows"), json(3));
    EXPECT_EQ(defaults.persistenceError(), std::nullopt);
}

TEST(FileUserDefaultsTests, AnUnreadableFileIsMovedAsideNeverOverwritten) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
    };
    const std::vector<Case> cases{
        {"broken JSON", [](const std::string& p) { writeFile(p, "{\"theme\": \"dark\",,"); }},
        {"an array", [](const std::string& p) { writeFile(p, "[1, 2, 3]"); }},
        {"an empty file", [](const std::string& p) { writeFile(p, ""); }},
        {"invalid UTF-8", [](const std::string& p) { writeFile(p, "{\"a\": \"\xff\"}"); }},
        {"a folder", [](const std::string& p) { fs::create_directories(p + "/inside"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir / "defaults.json";
        c.make(path);
        const bool isFolder = fs::is_directory(path);
        const std::string original = isFolder ? "" : readFile(path);

        FileUserDefaults defaults(path);
        EXPECT_EQ(defaults.object("theme"), std::nullopt);
        ASSERT_EQ(defaults.movedAsidePath(), path + ".unreadable");
        EXPECT_FALSE(fs::exists(path));
        if (!isFolder) {
            EXPECT_EQ(readFile(path + ".unreadable"), original);
        }

        defaults.set("theme", "light");
        EXPECT_EQ(fileContents(path), (json{{"theme", "light"}}));
        EXPECT_EQ(isFolder, fs::is_directory(path + ".unreadable"));
    }
}

TEST(FileUserDefaultsTests, MovingAsideNeverReplacesAnEarlierMovedFile) {
    TempDir dir;
    const std::string path = dir / "defaults.json";
    writeFile(path + ".unreadable", "first");
    writeFile(path + ".unreadable.1", "second");
    writeFile(path, "third");
    FileUserDefaults defaults(path);
    EXPECT_EQ(defaults.movedAsidePath(), path + ".unreadable.2");
    EXPECT_EQ(readFile(path + ".unreadable"), "first");
    EXPECT_EQ(readFile(path + ".unreadable.1"), "second");
    EXPECT_EQ(readFile(path + ".unreadable.2"), "third");
}

TEST(FileUserDefaultsTests, AFailedWriteKeepsTheValueAndSaysWhy) {
    TempDir dir;
    writeFile(dir / "blocker", "a file where a folder is needed");
    FileUserDefaults defaults(dir / "blocker/defaults.json");
    EXPECT_NO_THROW(defaults.set("theme", "dark"));
    EXPECT_EQ(defaults.object("theme"), json("dark"));
    EXPECT_TRUE(defaults.persistenceError().has_value());
}

TEST(FileUserDefaultsTests, TextThatIsNotUTF8IsWrittenWithReplacementCharacters) {
    TempDir dir;
    const std::string path = dir / "defaults.json";
    FileUserDefaults defaults(path);
    EXPECT_NO_THROW(defaults.set("newBranchCommand", "run \xff"));
    EXPECT_EQ(defaults.persistenceError(), std::nullopt);
    EXPECT_EQ(fileContents(path), (json{{"newBranchCommand", "run \xEF\xBF\xBD"}}));
}

TEST(FileUserDefaultsTests, TwoWritersOfOneFileKeepEachOthersChanges) {
    TempDir dir;
    const std::string path = dir / "defaults.json";
    writeFile(path, R"({"theme": "dark", "uiFontSize": 14})");
    FileUserDefaults first(path);
    FileUserDefaults second(path);

    first.set("newBranchRows", 3);
    second.set("theme", "light");
    first.removeObject("uiFontSize");
    second.set("newBranchCols", 2);

    EXPECT_EQ(fileContents(path),
              (json{{"theme", "light"}, {"newBranchRows", 3}, {"newBranchCols", 2}}));
}

TEST(FileUserDefaultsTests, WritersInSeveralProcessesLoseNoKey) {
    TempDir dir;
    const std::string path = dir / "orvex/defaults.json";
    constexpr int writers = 3;
    constexpr int keysEach = 40;
    std::vector<pid_t> children;
    for (int writer = 0; writer < writers; ++writer) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FileUserDefaults defaults(path);
            for (int key = 0; key < keysEach; ++key) {
                defaults.set("w" + std::to_string(writer) + "-" + std::to_string(key), key);
            }
            ::_exit(defaults.persistenceError() ? 1 : 0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(fileContents(path).size(), static_cast<size_t>(writers * keysEach));
}

TEST(FileUserDefaultsTests, ASettingsFileThatIsASymbolicLinkStaysOne) {
    TempDir dir;
    writeFile(dir / "dotfiles/orvex.json", R"({"theme": "dark"})");
    fs::create_directories(dir / "config");
    fs::create_symlink("../dotfiles/orvex.json", dir / "config/defaults.json");

    FileUserDefaults defaults(dir / "config/defaults.json");
    EXPECT_EQ(defaults.object("theme"), json("dark"));
    defaults.set("newBranchRows", 2);

    EXPECT_TRUE(fs::is_symlink(dir / "config/defaults.json"));
    EXPECT_EQ(fileContents(dir / "dotfiles/orvex.json"),
              (json{{"theme", "dark"}, {"newBranchRows", 2}}));
}
