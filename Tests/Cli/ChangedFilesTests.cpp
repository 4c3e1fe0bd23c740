// The changed-file list packs paths into fixed blocks and starts a new block when a path does
// not fit: paths of every length, the empty one and one that fills a block must come back
// whole and in order, with their counts, across many block edges.

#include "orvex/ChangedFiles.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using Orvex::ChangedFiles;

TEST(ChangedFiles, KeepsEveryPathWholeAcrossBlockEdges) {
    std::vector<std::string> paths = {"", std::string(ChangedFiles::blockSize, 'b'), "after"};
    for (std::size_t i = 0; paths.size() < 3000; ++i) {
        paths.push_back("dir/" + std::string(i * 37 % 900, static_cast<char>('a' + i % 26)) +
                        std::to_string(i));
    }
    ChangedFiles files;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        files.add(paths[i], static_cast<std::int64_t>(i) << 33, -static_cast<std::int64_t>(i));
    }
    ASSERT_EQ(files.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ASSERT_EQ(files.path(i), paths[i]) << i;
        EXPECT_EQ(files.added(i), static_cast<std::int64_t>(i) << 33);
        EXPECT_EQ(files.removed(i), -static_cast<std::int64_t>(i));
    }
    EXPECT_THROW(files.add(std::string(ChangedFiles::blockSize + 1, 'x'), 0, 0), std::length_error);
    files.clear();
    files.add("again", 1, 2);
    EXPECT_EQ(files.path(0), "again");
}
