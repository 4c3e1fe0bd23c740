#include "Diff/DiffHelperTestSupport.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace fs = std::filesystem;
using OrvexCore::Platform::ChildProcess;
using OrvexCore::Platform::SpawnOptions;
using OrvexCore::Platform::Stdio;

namespace OrvexTest {

HelperPipe::HelperPipe(const std::string& executable)
    : process_(ChildProcess::spawn(executable, {},
                                   SpawnOptions{Stdio::pipe, Stdio::pipe, Stdio::null, {}, {}})) {}

void HelperPipe::send(std::string_view bytes) {
    if (!process_.writeInput(bytes)) {
        throw std::runtime_error("the helper closed its input");
    }
}

void HelperPipe::closeInput() {
    process_.closeInput();
}

bool HelperPipe::fill(std::chrono::steady_clock::time_point until) {
    char chunk[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error("the helper did not answer in time");
        }
        pollfd fd{process_.outputFd(), POLLIN, 0};
        int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        ssize_t n = ::read(process_.outputFd(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
}

std::optional<std::string> HelperPipe::readLine(std::chrono::seconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!fill(until)) {
            return std::nullopt;
        }
    }
}

std::string HelperPipe::readToEnd(std::chrono::seconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (fill(until)) {
    }
    return std::exchange(buffer_, {});
}

int HelperPipe::wait() {
    return process_.wait();
}

} // namespace OrvexTest
