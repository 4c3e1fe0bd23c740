#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Support/ScopedEnvironment.hpp"
#include "Support/TempGitRepo.hpp"

namespace OrvexTest {

/// Puts a folder holding a `git` shell script (with `body` as its text after the "#!/bin/sh"
/// line) first on PATH for this object's life, so "/usr/bin/env git" finds the script. Every
/// test case runs in its own process, and nothing else runs while the PATH is changed.
class FakeGitPath {
public:
    explicit FakeGitPath(const std::string& body, bool keepRealPath = false)
        : path_("PATH", keepRealPath && std::getenv("PATH")
                            ? dir_.path() + ":" + std::getenv("PATH")
                            : dir_.path()) {
        auto script = dir_ / "git";
        writeFile(script, "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }

    /// A file in the script's folder that a script may write to ("$0" is the script).
    std::string file(const std::string& name) const { return dir_ / name; }

private:
    TempDir dir_;
    ScopedEnvironment path_;
};

} // namespace OrvexTest
