#pragma once

#include <string_view>
#include <vector>

#include "OrvexCore/Git/FileDiff.hpp"

/// Reading the output of `git diff --numstat`.
namespace OrvexCore::Numstat {

/// One `FileDiff` (with an empty patch) per well-formed line of `output`, sorted by path in
/// byte order, which for UTF-8 is Unicode scalar order; the sort is stable.
///
/// A line is split at its first two runs of tabs into added, removed and path; the path keeps
/// any further tabs. Lines without three fields are skipped. A count that is not a decimal
/// number (git prints "-" for binary files) reads as 0. When a path occurs more than once,
/// every entry for it carries the counts of its last line.
std::vector<FileDiff> parse(std::string_view output);

} // namespace OrvexCore::Numstat
