#include "orvex/RawTerminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include "orvex/Failure.hpp"

namespace Orvex {

std::optional<WindowSize> windowSize(int fd) {
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
        return std::nullopt;
    }
    return WindowSize{size.ws_row, size.ws_col};
}

RawTerminal::RawTerminal(int fd) : fd_(fd) {
    if (isatty(fd) != 1 || tcgetattr(fd, &saved_) != 0) {
        throw CliFailure(ExitStatus::usage, "standard input is not a terminal");
    }
    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSADRAIN, &raw) != 0) {
        throw CliFailure(ExitStatus::failure, "cannot switch the terminal to raw mode");
    }
    active_ = true;
}

RawTerminal::~RawTerminal() {
    restore();
}

void RawTerminal::restore() {
    if (active_) {
        tcsetattr(fd_, TCSAFLUSH, &saved_);
        active_ = false;
    }
}

} // namespace Orvex
