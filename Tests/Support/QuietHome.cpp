// Every test process gets a home folder of its own before its first test runs.
//
// The shells the tests start are interactive and read the home's start-up files, which on a
// developer's machine may do anything: a version manager's rehash there waits up to a minute
// on a lock that a shell killed mid-start-up left behind, so a terminal meant to be at its
// prompt reads as busy. Tests also must not write into the user's real home. Git keeps an
// author from the home's configuration, as commits without one fail.

#include <cstdlib>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "Support/TempGitRepo.hpp"

namespace {

class QuietHome : public ::testing::Environment {
public:
    void SetUp() override {
        home_.emplace();
        OrvexTest::writeFile(*home_ / ".gitconfig",
                             "[user]\n\tname = Orvex Test\n\temail = test@orvex.invalid\n");
        ::setenv("HOME", home_->path().c_str(), 1);
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME",
                                 "XDG_CACHE_HOME", "BASH_ENV", "ENV"}) {
            ::unsetenv(name);
        }
    }

    void TearDown() override { home_.reset(); }

private:
    std::optional<OrvexTest::TempDir> home_;
};

[[maybe_unused]] ::testing::Environment* const quietHome =
    ::testing::AddGlobalTestEnvironment(new QuietHome);

} // namespace
