#pragma once

#include <ostream>

#include <gtest/gtest.h>

#include "OrvexCore/Git/FileDiff.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/WorktreeInfo.hpp"

// Readable failure messages for the git records (found by argument-dependent lookup).
namespace OrvexCore {

inline void PrintTo(const FileDiff& f, std::ostream* os) {
    *os << "{" << ::testing::PrintToString(f.path) << ", " << f.added << ", " << f.removed;
    if (!f.patch.empty()) {
        *os << ", patch of " << f.patch.size() << " bytes";
    }
    *os << "}";
}

inline void PrintTo(const WorktreeInfo& w, std::ostream* os) {
    *os << "{" << ::testing::PrintToString(w.path) << ", "
        << (w.branch ? ::testing::PrintToString(*w.branch) : "detached") << "}";
}

} // namespace OrvexCore

namespace OrvexTest {

/// The error `call` throws; fails the test when it throws none.
template <typename Call> OrvexCore::GitError gitErrorOf(Call&& call) {
    try {
        call();
    } catch (const OrvexCore::GitError& error) {
        return error;
    }
    ADD_FAILURE() << "expected a GitError";
    return OrvexCore::GitError("", 0, "");
}

} // namespace OrvexTest
