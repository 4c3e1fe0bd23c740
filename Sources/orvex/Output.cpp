#include "orvex/Output.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <sys/ioctl.h>
#include <unistd.h>

#include <utf8proc.h>

#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace Orvex {

bool wantsColor(ColorMode mode, int fd) {
    switch (mode) {
    case ColorMode::always:
        return true;
    case ColorMode::never:
        return false;
    case ColorMode::automatic:
        break;
    }
    const char* noColor = std::getenv("NO_COLOR");
    if (noColor != nullptr && *noColor != '\0') {
        return false;
    }
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") {
        return false;
    }
    return isatty(fd) == 1;
}

std::string Style::paint(std::string_view text, std::string_view sgr) const {
    if (!color || text.empty()) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + sgr.size() + 8);
    out.append("\x1b[").append(sgr).append("m").append(text).append("\x1b[0m");
    return out;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    std::size_t offset = 0;
    while (offset < text.size()) {
        if (text[offset] == '\x1b' && offset + 1 < text.size() && text[offset + 1] == '[') {
            // A colour sequence: skip to its final byte.
            offset += 2;
            while (offset < text.size() && !(text[offset] >= 0x40 && text[offset] <= 0x7e)) {
                ++offset;
            }
            ++offset;
            continue;
        }
        char32_t scalar = OrvexCore::Text::decodeScalar(text, offset);
        int w = utf8proc_charwidth(static_cast<utf8proc_int32_t>(scalar));
        width += static_cast<std::size_t>(std::max(w, 0));
    }
    return width;
}

std::string padded(std::string_view text, std::size_t width) {
    std::string out(text);
    std::size_t have = displayWidth(text);
    if (have < width) {
        out.append(width - have, ' ');
    }
    return out;
}

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::add(std::vector<std::string> cells) {
    cells.resize(headers_.size());
    rows_.push_back(std::move(cells));
}

std::string Table::render(const Style& style, std::string_view indent) const {
    std::vector<std::size_t> widths(headers_.size(), 0);
    for (std::size_t c = 0; c < headers_.size(); ++c) {
        widths[c] = displayWidth(headers_[c]);
        for (const auto& row : rows_) {
            widths[c] = std::max(widths[c], displayWidth(row[c]));
        }
    }
    auto line = [&](const std::vector<std::string>& cells, bool header) {
        std::string out(indent);
        for (std::size_t c = 0; c < cells.size(); ++c) {
            bool last = c + 1 == cells.size();
            std::string cell = header ? style.bold(cells[c]) : cells[c];
            out += last ? cell : padded(cell, widths[c]) + "  ";
        }
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        out += '\n';
        return out;
    };
    std::string out = line(headers_, true);
    for (const auto& row : rows_) {
        out += line(row, false);
    }
    return out;
}

std::string abbreviatedHome(std::string_view path) {
    std::string home = OrvexCore::Paths::homeDirectory();
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    if (home.size() > 1 && OrvexCore::Paths::isInside(path, home)) {
        return "~" + std::string(path.substr(home.size()));
    }
    return std::string(path);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

int terminalRows() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
        return size.ws_row;
    }
    return 24;
}

/// The shown height of `text` in lines, stopping early once it passes `limit`.
int heightUpTo(std::string_view text, int limit) {
    int lines = 0;
    for (char c : text) {
        if (c == '\n' && ++lines > limit) {
            break;
        }
    }
    return lines;
}

} // namespace

void Printer::emit() {
    if (text.empty()) {
        return;
    }
    if (pageable && isatty(STDOUT_FILENO) == 1 &&
        heightUpTo(text, terminalRows()) >= terminalRows()) {
        const char* pager = std::getenv("PAGER");
        std::string command = pager != nullptr ? pager : "less -R";
        if (!OrvexCore::Text::trimmed(command).empty()) {
            try {
                OrvexCore::Platform::SpawnOptions options;
                options.input = OrvexCore::Platform::Stdio::pipe;
                options.output = OrvexCore::Platform::Stdio::inherit;
                options.error = OrvexCore::Platform::Stdio::inherit;
                auto child =
                    OrvexCore::Platform::ChildProcess::spawn("/bin/sh", {"-c", command}, options);
                // The pager owns the keyboard now: an interrupt is its to handle, and this
                // process, whose state is already saved, just waits for it.
                std::signal(SIGINT, SIG_IGN);
                child.writeInput(text);
                child.closeInput();
                // 127: the shell found no such pager, and nothing was shown.
                if (child.wait() != 127) {
                    text.clear();
                    return;
                }
            } catch (const std::exception&) {
                // No pager could be started: the text goes out directly.
            }
        }
    }
    writeAll(STDOUT_FILENO, text);
    text.clear();
}

} // namespace Orvex
