#include "OrvexCore/Git/Numstat.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::Numstat {
namespace {

/// Digits only: git never prints a sign, and anything else (the "-" of a binary file, an
/// overflowing number) is not a count.
std::int64_t count(std::string_view field) {
    if (field.empty() ||
        !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return error == std::errc() && end == field.data() + field.size() ? value : 0;
}

/// Up to three fields: empty pieces between tabs are dropped and do not count as splits, and
/// after the second field the rest of the line (tabs included) is the third.
int splitFields(std::string_view line, std::string_view (&fields)[3]) {
    int found = 0;
    size_t start = 0;
    while (found < 2) {
        size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            break;
        }
        if (tab > start) {
            fields[found++] = line.substr(start, tab - start);
        }
        start = tab + 1;
    }
    if (start < line.size()) {
        fields[found++] = line.substr(start);
    }
    return found;
}

} // namespace

std::vector<FileDiff> parse(std::string_view output) {
    struct Counts {
        std::int64_t added;
        std::int64_t removed;
    };
    std::vector<std::string_view> paths;
    std::unordered_map<std::string_view, Counts> countsByPath;
    for (auto line : Text::split(output, '\n', false)) {
        std::string_view fields[3];
        if (splitFields(line, fields) != 3) {
            continue;
        }
        paths.push_back(fields[2]);
        countsByPath[fields[2]] = Counts{count(fields[0]), count(fields[1])};
    }

    std::vector<FileDiff> files;
    files.reserve(paths.size());
    for (auto path : paths) {
        const auto& counts = countsByPath.at(path);
        files.push_back(FileDiff{std::string(path), counts.added, counts.removed, {}});
    }
    // std::string compares bytes as unsigned char, which orders UTF-8 by scalar value.
    std::stable_sort(files.begin(), files.end(),
                     [](const FileDiff& a, const FileDiff& b) { return a.path < b.path; });
    return files;
}

} // namespace OrvexCore::Numstat
