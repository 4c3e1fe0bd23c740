#pragma once

#include <map>
#include <string>
#include <string_view>

namespace OrvexTest {

/// "line 1\n" up to "line COUNT\n", with the lines named in `replaced` (numbered from 1) given
/// as their new text: a file, and an edit of it, whose changes a test can point at.
inline std::string numberedLines(int count, const std::map<int, std::string>& replaced = {}) {
    std::string text;
    for (int i = 1; i <= count; ++i) {
        auto it = replaced.find(i);
        text += it != replaced.end() ? it->second : "line " + std::to_string(i);
        text += "\n";
    }
    return text;
}

/// `prefix` followed by each number from `from` to `to`, one a line.
inline std::string numbered(std::string_view prefix, int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) {
        text += std::string(prefix) + std::to_string(i) + "\n";
    }
    return text;
}

} // namespace OrvexTest
