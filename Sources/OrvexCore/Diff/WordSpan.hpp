#pragma once

#include <string>

namespace OrvexCore {

/// A run of consecutive tokens of one side of a word diff, all changed or all unchanged.
struct WordSpan {
    /// The run's tokens concatenated, bytes exactly as in the input.
    std::string text;
    /// True when none of the run's tokens is part of the common subsequence.
    bool changed = false;

    friend bool operator==(const WordSpan&, const WordSpan&) = default;
};

} // namespace OrvexCore
