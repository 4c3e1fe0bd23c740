#include "OrvexCore/Git/Numstat.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "OrvexCore/Util/JSONString.hpp"
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

ChangedFileList read(std::string output, char separator, const ChangeSummary* summary,
                     std::size_t untrackedFrom) {
    if (!JSONString::isValidUTF8(output)) {
        output = Text::sanitizedUTF8(output);
    }
    if (output.size() > UINT32_MAX) {
        throw std::length_error("git's list of changed files is larger than 4 GB");
    }
    std::vector<ChangedFileList::Record> records;
    records.reserve(static_cast<size_t>(std::count(output.begin(), output.end(), separator)) + 1);
    const std::string_view text(output);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view fields[3];
        if (splitFields(text.substr(start, end - start), fields) == 3) {
            char status = fields[0] == "-" && fields[1] == "-" ? 'B'
                          : start >= untrackedFrom             ? 'A'
                          : summary                            ? summary->statusOf(fields[2])
                                                               : 'M';
            records.push_back({static_cast<std::uint32_t>(fields[2].data() - text.data()),
                               static_cast<std::uint32_t>(fields[2].size()),
                               static_cast<std::uint8_t>(status), count(fields[0]),
                               count(fields[1])});
        }
        start = end + 1;
    }
    return ChangedFileList(std::move(output), std::move(records));
}

std::vector<FileDiff> parse(std::string_view output, char separator) {
    return read(std::string(output), separator).fileDiffs();
}

} // namespace OrvexCore::Numstat
