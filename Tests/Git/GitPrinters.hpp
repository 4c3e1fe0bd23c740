#pragma once

#include <ostream>

#include <gtest/gtest.h>

#include "OrvexCore/Git/FileDiff.hpp"
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
