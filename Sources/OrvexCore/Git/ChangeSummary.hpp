#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace OrvexCore {

/// What the "--summary" lines of `git diff --numstat --summary -z` say: which files were
/// created and which deleted. git writes them after the last NUL-ended numstat record, one
/// per line, quoting (C style) a name that holds a tab, line feed, double quote or backslash.
class ChangeSummary {
public:
    ChangeSummary() = default;

    /// Reads the summary that ends `output` and cuts it off, leaving only the numstat records.
    static ChangeSummary takeFrom(std::string& output);

    /// 'A' for a created file, 'D' for a deleted one, else 'M'.
    char statusOf(std::string_view path) const;

    /// A name as git prints it, without its C-style quotes and escapes; unquoted names are
    /// returned as they are.
    static std::string unquoted(std::string_view name);

private:
    /// Sorted by path.
    std::vector<std::pair<std::string, char>> marks_;
};

} // namespace OrvexCore
