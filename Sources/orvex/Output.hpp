#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Orvex {

/// When to colour output: `automatic` colours only a terminal, and only while NO_COLOR is
/// unset or empty.
enum class ColorMode { automatic, always, never };

/// Whether output to `fd` is coloured under `mode`.
bool wantsColor(ColorMode mode, int fd);

/// ANSI styling that collapses to the plain text when colour is off.
struct Style {
    bool color = false;

    std::string paint(std::string_view text, std::string_view sgr) const;
    std::string bold(std::string_view t) const { return paint(t, "1"); }
    std::string dim(std::string_view t) const { return paint(t, "2"); }
    std::string red(std::string_view t) const { return paint(t, "31"); }
    std::string green(std::string_view t) const { return paint(t, "32"); }
    std::string yellow(std::string_view t) const { return paint(t, "33"); }
    std::string cyan(std::string_view t) const { return paint(t, "36"); }
};

/// Columns a terminal gives `text` (UTF-8; wide characters count two, combining marks none,
/// colour sequences none).
std::size_t displayWidth(std::string_view text);

/// `text` padded with spaces to `width` columns (never cut).
std::string padded(std::string_view text, std::size_t width);

/// A table of columns aligned by display width; cells may hold colour sequences.
class Table {
public:
    explicit Table(std::vector<std::string> headers);
    /// Adds a row; missing cells are empty.
    void add(std::vector<std::string> cells);
    bool empty() const { return rows_.empty(); }
    /// The rows under a header line, each line indented by `indent` and ended by a line feed.
    /// Trailing padding is dropped.
    std::string render(const Style& style, std::string_view indent = "") const;

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

/// `path` with the home folder written as "~".
std::string abbreviatedHome(std::string_view path);

/// Text written by a command, held back until the command's state is saved and then shown
/// at once: through a pager when standard output is a terminal and the text is taller than
/// it (`$PAGER`, else "less -R"; an empty `$PAGER` turns paging off).
class Printer {
public:
    std::string text;
    bool pageable = false;

    void emit();
};

/// Writes all of `bytes` to `fd`, retrying on interruption; false when the reader is gone.
bool writeAll(int fd, std::string_view bytes);

} // namespace Orvex
