#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

/// Review marks: per file path, the fingerprint of the patch the user looked at when marking
/// the file reviewed. A mark holds only while the file's current patch has that fingerprint,
/// so a later change to the file makes it lapse without anyone removing it. Pure functions,
/// callable from any thread.
namespace OrvexCore::DiffReview {

/// File path to fingerprint, the shape of `Session::reviewedFiles`.
using ReviewMap = std::map<std::string, std::string>;

/// The 64-bit FNV-1a hash of the patch's bytes in lower-case hexadecimal without leading
/// zeros or prefix (1 to 16 digits); the empty patch gives "cbf29ce484222325".
std::string fingerprint(std::string_view patch);

/// Unmarks `path` when its entry holds the fingerprint of `patch`; otherwise (no entry, or one
/// left from an older patch) marks it with that fingerprint.
void toggle(const std::string& path, std::string_view patch, ReviewMap& reviewed);

/// True exactly when `reviewed` holds the fingerprint of `patch` for `path`.
bool isReviewed(const std::string& path, std::string_view patch, const ReviewMap& reviewed);

/// The entries of `reviewed` whose path is in `keepingPaths`.
ReviewMap prune(const ReviewMap& reviewed, const std::set<std::string>& keepingPaths);

} // namespace OrvexCore::DiffReview
