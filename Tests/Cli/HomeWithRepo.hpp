#pragma once

#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"

namespace OrvexTest {

/// A throwaway home whose server has one real repository open: where most end-to-end tests
/// start.
class HomeWithRepo : public ::testing::Test {
protected:
    void SetUp() override { home.ok({"open", repo.path()}); }

    /// Where the session named `name` has its worktree.
    std::string worktree(const std::string& name) const { return home.sessionsRoot() + "/" + name; }

    CliHome home;
    TempGitRepo repo;
};

} // namespace OrvexTest
