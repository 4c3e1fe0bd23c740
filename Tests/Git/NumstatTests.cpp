#include "OrvexCore/Git/Numstat.hpp"

#include <gtest/gtest.h>

#include "Git/GitPrinters.hpp"

using OrvexCore::FileDiff;
namespace Numstat = OrvexCore::Numstat;

namespace {

struct NumstatCase {
    const char* name;
    std::string output;
    std::vector<FileDiff> expected;
};

FileDiff entry(std::string path, std::int64_t added, std::int64_t removed) {
    return FileDiff{std::move(path), added, removed, {}};
}

} // namespace

// Entries come sorted by path in byte order: the numstat fuzz target checks that on every input.
TEST(NumstatTests, ParsesLinesOfEveryShape) {
    const std::vector<NumstatCase> cases = {
        {"plain", "3\t1\tsrc/main.cpp\n", {entry("src/main.cpp", 3, 1)}},
        {"binary counts are dashes", "-\t-\timage.png\n", {entry("image.png", 0, 0)}},
        {"tabs after the second stay in the path",
         "1\t2\tname\twith\ttabs\n",
         {entry("name\twith\ttabs", 1, 2)}},
        {"empty fields between the counts are not fields", "4\t\t5\tx\n", {entry("x", 4, 5)}},
        {"after the second field the rest is the path, tabs included",
         "4\t\t5\t\tx\n",
         {entry("\tx", 4, 5)}},
        {"leading tab", "\t4\t5\tx\n", {entry("x", 4, 5)}},
        {"a tab run after the counts keeps its surplus tabs in the path",
         "4\t5\t\tx\n",
         {entry("\tx", 4, 5)}},
        {"two fields are skipped", "4\tx\n", {}},
        {"one field is skipped", "garbage\n", {}},
        {"nothing after the counts is skipped", "4\t5\t\n", {}},
        {"empty lines are dropped", "\n\n1\t1\ta\n\n", {entry("a", 1, 1)}},
        {"no final line end", "1\t1\ta", {entry("a", 1, 1)}},
        {"counts that are not decimal read as zero",
         "x\t+2\ta\n-3\t0x10\tb\n99999999999999999999\t7\tc\n",
         {entry("a", 0, 0), entry("b", 0, 0), entry("c", 0, 7)}},
        {"large counts", "9223372036854775807\t0\ta\n", {entry("a", INT64_MAX, 0)}},
        {"quoted names are kept verbatim",
         "1\t0\t\"new\\nline\"\n",
         {entry("\"new\\nline\"", 1, 0)}},
        {"non-ASCII names", "2\t0\tcafé/Ünïcode.txt\n", {entry("café/Ünïcode.txt", 2, 0)}},
        {"a duplicate path takes its last counts in every entry",
         "1\t1\tdup\n2\t0\tother\n5\t6\tdup\n",
         {entry("dup", 5, 6), entry("dup", 5, 6), entry("other", 2, 0)}},
        {"empty output", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Numstat::parse(c.output), c.expected) << c.name;
    }
}
