#pragma once

#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"

namespace OrvexTest {

/// A throwaway home whose server has one real repository open: where most end-to-end tests
/// start.
class HomeWithRepo : public ::testing::Test {
protected:
    void SetUp() override { home.ok({"open", repo.path()}); }

    CliHome home;
    TempGitRepo repo;
};

} // namespace OrvexTest
