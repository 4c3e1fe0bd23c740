#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "OrvexCore/Platform/Process.hpp"

/// Fixture repositories for benchmarks, built once per process on first use in a temporary
/// folder that is removed when the process ends.
namespace OrvexBench {

/// A repository on "main" whose worktree differs from `base`.
struct FixtureRepo {
    std::string path;
    /// The commit the changes are measured against.
    std::string base;
    /// Changed files, relative to `path`.
    std::vector<std::string> changedFiles;
};

namespace detail {

inline std::string runGit(const std::string& directory, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"git", "-C", directory});
    auto result = OrvexCore::Platform::runToCompletion("/usr/bin/env", arguments);
    if (result.status != 0) {
        throw std::runtime_error("fixture git failed: " + result.error);
    }
    return result.output;
}

inline void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

/// Owns the temporary folders of every fixture.
class Scratch {
public:
    ~Scratch() {
        for (const auto& dir : dirs_) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
    std::string makeDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        dirs_.push_back(std::filesystem::canonical(pattern).string());
        return dirs_.back();
    }
    static Scratch& shared() {
        static Scratch scratch;
        return scratch;
    }

private:
    std::vector<std::string> dirs_;
};

inline std::string newRepo() {
    std::string path = Scratch::shared().makeDir() + "/repo";
    std::filesystem::create_directories(path);
    runGit(path, {"init", "-q", "-b", "main"});
    runGit(path, {"config", "user.name", "Bench"});
    runGit(path, {"config", "user.email", "bench@orvex.invalid"});
    runGit(path, {"config", "commit.gpgsign", "false"});
    return path;
}

inline std::string commitAll(const std::string& path) {
    runGit(path, {"add", "-A"});
    runGit(path, {"commit", "-q", "-m", "fixture"});
    auto head = runGit(path, {"rev-parse", "HEAD"});
    return head.substr(0, head.find('\n'));
}

inline std::string numberedLines(int count, const std::string& prefix) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += prefix + " line " + std::to_string(i) + " of some ordinary source text\n";
    }
    return text;
}

} // namespace detail

/// A repository with `count` changed files (uncommitted edits of committed files, spread over
/// folders of 100, two lines changed and one added in each). Built once per `count`.
inline const FixtureRepo& repoWithChangedFiles(int count) {
    static std::map<int, FixtureRepo> built;
    if (auto found = built.find(count); found != built.end()) {
        return found->second;
    }
    FixtureRepo fixture;
    fixture.path = detail::newRepo();
    for (int i = 0; i < count; ++i) {
        fixture.changedFiles.push_back("dir" + std::to_string(i / 100) + "/file" +
                                       std::to_string(i) + ".txt");
        detail::writeFile(fixture.path + "/" + fixture.changedFiles.back(),
                          detail::numberedLines(20, "f" + std::to_string(i)));
    }
    fixture.base = detail::commitAll(fixture.path);
    for (int i = 0; i < count; ++i) {
        auto text = detail::numberedLines(20, "f" + std::to_string(i));
        text.replace(0, 1, "F");
        text += "an added line\n";
        detail::writeFile(fixture.path + "/" + fixture.changedFiles[i], text);
    }
    // Refresh the index once, as any real worktree has, so that timing starts from a steady
    // state rather than from the first call's stat pass.
    detail::runGit(fixture.path, {"update-index", "-q", "--refresh"});
    return built.emplace(count, std::move(fixture)).first->second;
}

/// A repository with one changed file "large.txt" of about `bytes` bytes, every tenth line of
/// which differs from `base`. Built once per `bytes`.
inline const FixtureRepo& repoWithOneLargeChange(size_t bytes) {
    static std::map<size_t, FixtureRepo> built;
    if (auto found = built.find(bytes); found != built.end()) {
        return found->second;
    }
    FixtureRepo fixture;
    fixture.path = detail::newRepo();
    fixture.changedFiles = {"large.txt"};
    std::string original;
    std::string changed;
    for (int i = 0; original.size() < bytes; ++i) {
        std::string line = "line " + std::to_string(i) + " of a large generated file\n";
        original += line;
        changed += i % 10 == 0 ? "changed " + line : line;
    }
    detail::writeFile(fixture.path + "/large.txt", original);
    fixture.base = detail::commitAll(fixture.path);
    detail::writeFile(fixture.path + "/large.txt", changed);
    detail::runGit(fixture.path, {"update-index", "-q", "--refresh"});
    return built.emplace(bytes, std::move(fixture)).first->second;
}

} // namespace OrvexBench
