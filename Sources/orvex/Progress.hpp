#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Orvex {

/// A one-line report of work that may take a while, on standard error and only when standard
/// error is a terminal (a script reading the output never sees it). Each update replaces the
/// line; the line is wiped when the object goes, so later output starts on a clean line.
/// Main thread only.
class Progress {
public:
    /// Shows `label` at once.
    explicit Progress(std::string label);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// Shows `label: detail`.
    void update(std::string_view detail);
    /// Shows `label: done of total`.
    void count(std::size_t done, std::size_t total);
    /// Wipes the line now (before writing other text to the terminal); a later update shows
    /// it again.
    void clear();

    /// True when progress would be shown (standard error is a terminal).
    static bool enabled();

private:
    void show(const std::string& line);

    bool on_;
    bool shown_ = false;
    std::string label_;
};

} // namespace Orvex
