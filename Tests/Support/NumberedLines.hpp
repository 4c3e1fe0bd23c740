#pragma once

#include <map>
#include <string>

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

} // namespace OrvexTest
