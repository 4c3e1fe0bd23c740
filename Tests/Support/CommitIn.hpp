#pragma once

#include <string>
#include <string_view>

namespace OrvexTest {

/// Writes `relative` in the checkout at `directory` (a worktree, a clone), stages everything
/// and commits; returns the new commit id.
std::string commitIn(const std::string& directory, std::string_view relative,
                     std::string_view contents, std::string_view message = "change");

} // namespace OrvexTest
