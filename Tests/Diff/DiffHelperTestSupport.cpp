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

size_t openDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

std::vector<ChildInfo> childProcesses() {
    std::vector<ChildInfo> children;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const auto& entry = *it;
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // Processes come and go while the folder is read: a vanished one is skipped.
        std::string text;
        int fd = ::open((entry.path() / "stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        char bytes[1024];
        ssize_t n = ::read(fd, bytes, sizeof bytes);
        ::close(fd);
        if (n <= 0) {
            continue;
        }
        text.assign(bytes, static_cast<size_t>(n));
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so read after the
        // last ")".
        auto close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 1));
        char state = '?';
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent != self) {
            continue;
        }
        ChildInfo child;
        child.pid = static_cast<pid_t>(std::stol(name));
        child.state = state;
        child.executable = fs::read_symlink(entry.path() / "exe", ec).string();
        children.push_back(child);
    }
    return children;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace OrvexTest
