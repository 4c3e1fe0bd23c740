#pragma once

#include <optional>

#include <termios.h>

namespace Orvex {

/// Rows and columns of a terminal.
struct WindowSize {
    unsigned short rows = 24;
    unsigned short cols = 80;
    friend bool operator==(const WindowSize&, const WindowSize&) = default;
};

/// The size of the terminal on `fd`, or nothing when `fd` is no terminal.
std::optional<WindowSize> windowSize(int fd);

/// Puts the terminal on `fd` into raw mode (no echo, no line editing, no signals from keys,
/// no output processing) for the object's life, and restores the saved mode when it goes,
/// also on an exception. `restore()` may be called earlier (before exiting abruptly).
class RawTerminal {
public:
    /// Throws CliFailure (usage) when `fd` is not a terminal.
    explicit RawTerminal(int fd);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    void restore();

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

} // namespace Orvex
