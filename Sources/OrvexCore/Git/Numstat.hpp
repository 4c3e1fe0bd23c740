#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "OrvexCore/Git/ChangeSummary.hpp"
#include "OrvexCore/Git/ChangedFileList.hpp"
#include "OrvexCore/Git/FileDiff.hpp"

/// Reading the output of `git diff --numstat`, with records ended by line feeds or (with
/// git's "-z") by NUL bytes. Only the NUL form carries every name: in the other, git quotes
/// names holding a tab, a line feed, a double quote or a backslash.
namespace OrvexCore::Numstat {

/// One file per well-formed record of `output` (records end at `separator`), sorted by path
/// in byte order, which for UTF-8 is Unicode scalar order; the sort is stable.
///
/// A record is split at its first two runs of tabs into added, removed and path; the path
/// keeps any further tabs (and, in NUL-separated output, line feeds). Records without three
/// fields are skipped. A count that is not a decimal number (git prints "-" for binary
/// files) reads as 0. When a path occurs more than once, every entry for it carries the
/// counts of its last record. Bytes that are not valid UTF-8 become U+FFFD, so every path is
/// text. `output` is kept as the list's buffer (copied only when it must be repaired).
///
/// Each file's status: 'B' when git counted no lines ("-"), else 'A' for a record that starts
/// at or after byte `untrackedFrom` (records the caller appended for files git does not
/// track), else what `summary` says of the path ('M' without one).
ChangedFileList read(std::string output, char separator, const ChangeSummary* summary = nullptr,
                     std::size_t untrackedFrom = std::string_view::npos);

/// `read` as `FileDiff`s with empty patches.
std::vector<FileDiff> parse(std::string_view output, char separator = '\n');

} // namespace OrvexCore::Numstat
