#include "OrvexCore/Util/Paths.hpp"

#include <gtest/gtest.h>

namespace Paths = OrvexCore::Paths;

TEST(PathsTests, AppendingComponentNeverLetsTheRightSideReplaceTheLeft) {
    struct Case {
        const char* base;
        const char* component;
        const char* expected;
    } cases[] = {
        {"/root", "feature/x", "/root/feature/x"},
        {"/root/", "name", "/root/name"},
        {"/root", "/etc/passwd", "/root/etc/passwd"},
        {"/", "a", "/a"},
        {"/root", "", "/root"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Paths::appendingComponent(c.base, c.component), c.expected) << c.component;
    }
}

TEST(PathsTests, StandardizedRemovesDotSegmentsWithoutEscapingTheRoot) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"/usr/bin/../../tmp/tool", "/tmp/tool"},
        {"/usr/./bin//env", "/usr/bin/env"},
        {"/../../etc", "/etc"},
        {"/a/b/", "/a/b"},
        {"/", "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Paths::standardized(c.input), c.expected) << c.input;
    }
}

TEST(PathsTests, LastComponentAndParentIgnoreTrailingSlashes) {
    EXPECT_EQ(Paths::lastComponent("/a/b/"), "b");
    EXPECT_EQ(Paths::lastComponent("/"), "/");
    EXPECT_EQ(Paths::deletingLastComponent("/a/b/"), "/a");
    EXPECT_EQ(Paths::deletingLastComponent("/a"), "/");
}

TEST(PathsTests, IsInsideComparesWholeComponents) {
    EXPECT_TRUE(Paths::isInside("/home/bob", "/home/bob"));
    EXPECT_TRUE(Paths::isInside("/home/bob/x", "/home/bob/"));
    EXPECT_FALSE(Paths::isInside("/home/bobby", "/home/bob"));
    EXPECT_TRUE(Paths::isInside("/anything", "/"));
}
