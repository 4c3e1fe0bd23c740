#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvexCore/Diff/WordSpan.hpp"

/// Which words of a changed line changed: both sides are cut into tokens (words of Unicode
/// letters, numbers and underscores; every other user-perceived character on its own), the
/// tokens are matched by a longest common subsequence, and runs of equal state become spans.
/// Tokens are equal when canonically equivalent. Stateless and thread-safe; any executor
/// (each thread reuses its own scratch buffers from call to call). Apart from the table, which
/// `maximumTokens` bounds, the work is linear in the length of the lines, whatever they hold.
namespace OrvexCore::WordDiff {

/// Lines with more tokens than this are shown as wholly changed instead of being compared.
inline constexpr std::size_t maximumTokens = 2000;

/// Token indices in ascending order, each once.
using IndexSet = std::vector<std::size_t>;

/// The (old, new) spans. Each side's span texts concatenate to that side's input exactly and
/// neighbouring spans differ in `changed`. Equal inputs (canonically equivalent ones included)
/// give one unchanged span per side, even when empty; otherwise an empty side has no spans.
/// A side over `maximumTokens` tokens makes every non-empty side one changed span. Any bytes
/// are accepted; throws only `std::bad_alloc`.
std::pair<std::vector<WordSpan>, std::vector<WordSpan>> diff(std::string_view old,
                                                             std::string_view new_);

/// The tokens of `text` in order; they concatenate to `text`. Never throws except
/// `std::bad_alloc`.
std::vector<std::string> tokenize(std::string_view text);

/// The indices of `a` and of `b` in their longest common subsequence, found by walking the
/// suffix table forward and, on a tie, skipping the token of `a` first. The table takes
/// `lcsTableBytes(a.size(), b.size())` at most; callers bound the sizes (`diff` does).
/// Throws `std::bad_alloc` or `std::length_error` when the table cannot be had.
std::pair<IndexSet, IndexSet> lcsMatches(const std::vector<std::string>& a,
                                         const std::vector<std::string>& b);

/// `tokens` merged into spans: a token is changed when its index is not in `matched`
/// (indices past the end are ignored, order does not matter).
std::vector<WordSpan> spans(const std::vector<std::string>& tokens, const IndexSet& matched);

/// The most bytes `lcsMatches` allocates for its table for sides of these token counts: two
/// bytes per pair of tokens while the shorter side has fewer than 65,536 tokens, four above.
std::size_t lcsTableBytes(std::size_t aCount, std::size_t bCount);

} // namespace OrvexCore::WordDiff
