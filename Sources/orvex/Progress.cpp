#include "orvex/Progress.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include "orvex/Output.hpp"

namespace Orvex {

Progress::Progress(std::string label) : on_(enabled()), label_(std::move(label)) {
    show(label_);
}

Progress::~Progress() {
    clear();
}

bool Progress::enabled() {
    return ::isatty(STDERR_FILENO) == 1;
}

void Progress::update(std::string_view detail) {
    show(fmt::format("{}: {}", label_, detail));
}

void Progress::count(std::size_t done, std::size_t total) {
    show(fmt::format("{}: {} of {}", label_, done, total));
}

void Progress::clear() {
    if (on_ && shown_) {
        writeAll(STDERR_FILENO, "\r\x1b[K");
        shown_ = false;
    }
}

void Progress::show(const std::string& line) {
    if (!on_) {
        return;
    }
    // Cut to one line's worth so that a long label never wraps and leaves a line behind.
    std::string text = line.size() > 76 ? line.substr(0, 75) : line;
    writeAll(STDERR_FILENO, "\r\x1b[K" + text + "…");
    shown_ = true;
}

} // namespace Orvex
