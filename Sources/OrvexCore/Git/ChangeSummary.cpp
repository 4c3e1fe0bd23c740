#include "OrvexCore/Git/ChangeSummary.hpp"

#include <algorithm>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {
namespace {

/// " create mode 100644 NAME" and " delete mode 100644 NAME"; other summary lines (mode
/// changes, rewrites) leave a file modified.
bool readLine(std::string_view line, std::pair<std::string, char>& mark) {
    constexpr std::string_view create = " create mode ";
    constexpr std::string_view remove = " delete mode ";
    char status = line.starts_with(create) ? 'A' : line.starts_with(remove) ? 'D' : 0;
    if (status == 0) {
        return false;
    }
    auto rest = line.substr(create.size());
    auto space = rest.find(' ');
    if (space == std::string_view::npos) {
        return false;
    }
    mark = {ChangeSummary::unquoted(rest.substr(space + 1)), status};
    return true;
}

} // namespace

ChangeSummary ChangeSummary::takeFrom(std::string& output) {
    ChangeSummary summary;
    auto lastNUL = output.rfind('\0');
    size_t start = lastNUL == std::string::npos ? 0 : lastNUL + 1;
    std::string_view text(output);
    for (auto line : Text::split(text.substr(start), '\n', false)) {
        std::pair<std::string, char> mark;
        if (readLine(line, mark)) {
            summary.marks_.push_back(std::move(mark));
        }
    }
    output.resize(start);
    std::sort(summary.marks_.begin(), summary.marks_.end());
    return summary;
}

char ChangeSummary::statusOf(std::string_view path) const {
    auto it = std::lower_bound(marks_.begin(), marks_.end(), path,
                               [](const std::pair<std::string, char>& mark, std::string_view p) {
                                   return mark.first < p;
                               });
    return it != marks_.end() && it->first == path ? it->second : 'M';
}

std::string ChangeSummary::unquoted(std::string_view name) {
    if (name.size() < 2 || name.front() != '"' || name.back() != '"') {
        return std::string(name);
    }
    std::string out;
    auto inner = name.substr(1, name.size() - 2);
    for (size_t i = 0; i < inner.size(); ++i) {
        char c = inner[i];
        if (c != '\\' || i + 1 == inner.size()) {
            out += c;
            continue;
        }
        char e = inner[++i];
        switch (e) {
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'v':
            out += '\v';
            break;
        default:
            if (e >= '0' && e <= '3' && i + 2 < inner.size()) {
                // Three octal digits: one byte of a name git would not print raw.
                int value = 0;
                for (size_t k = i; k < i + 3; ++k) {
                    value = value * 8 + (inner[k] - '0');
                }
                out += static_cast<char>(value);
                i += 2;
            } else {
                out += e;
            }
        }
    }
    return out;
}

} // namespace OrvexCore
