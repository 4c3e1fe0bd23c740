#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "orvex/Output.hpp"

namespace Orvex {

/// How `orvex show` draws patches.
struct PatchViewOptions {
    Style style;
    /// Runs of more context lines than this are folded.
    std::int64_t threshold = 8;
    /// Folds shown open, by their number in the whole output.
    std::set<std::int64_t> expanded;
};

/// Draws the patches of several files one after the other: each file's hunks with old and new
/// line numbers in a gutter, additions and deletions coloured, the changed words of the i-th
/// deletion and the i-th addition of each change block highlighted, and long context runs
/// folded behind markers numbered across the whole output (so `--expand N` names one fold).
class PatchView {
public:
    explicit PatchView(PatchViewOptions options) : options_(std::move(options)) {}

    /// Appends the drawing of one file's patch to `out`; `reviewed` adds a mark to its header.
    void add(std::string& out, std::string_view path, std::string_view patch, bool reviewed);

    /// How many folds have been numbered so far.
    std::int64_t foldCount() const { return folds_; }

private:
    PatchViewOptions options_;
    std::int64_t folds_ = 0;
};

/// `text` safe to print on a terminal: invalid UTF-8 replaced, control characters other than
/// tab shown in caret notation (so a file's escape sequences cannot drive the terminal).
std::string printable(std::string_view text);

} // namespace Orvex
