#pragma once

#include <cerrno>
#include <string>

#include <unistd.h>

namespace OrvexTest {

/// Reads the descriptor `fd` (a pipe from a child) to its end.
inline std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    return text;
}

} // namespace OrvexTest
