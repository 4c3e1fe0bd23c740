#include "Support/PtyProcess.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Support/RunUntil.hpp"

namespace OrvexTest {

PtyProcess::PtyProcess(std::vector<std::string> argv, int rows, int cols,
                       std::vector<std::string> environment, const std::string& folder) {
    // Everything the child needs is made before the fork: the test process has threads.
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    std::vector<char*> env;
    for (auto& entry : environment) {
        env.push_back(entry.data());
    }
    env.push_back(nullptr);
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    pid_ = ::forkpty(&fd_, nullptr, nullptr, &size);
    if (pid_ == 0) {
        if (folder.empty() || ::chdir(folder.c_str()) == 0) {
            environment.empty() ? ::execvp(args[0], args.data())
                                : ::execvpe(args[0], args.data(), env.data());
        }
        ::_exit(127);
    }
}

PtyProcess::~PtyProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void PtyProcess::type(std::string_view text) {
    ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

bool PtyProcess::readSome(int timeoutMs) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
        return n < 0 && errno == EINTR;
    }
    output_.append(buffer, static_cast<std::size_t>(n));
    if (onOutput) {
        onOutput(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return true;
}

bool PtyProcess::readUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp || !readSome(30000)) {
            return false;
        }
    }
    return true;
}

bool PtyProcess::readUntilText(const std::string& text) {
    std::size_t at = std::string::npos;
    bool found = readUntil([&] { return (at = output_.find(text, found_)) != std::string::npos; });
    if (found) {
        found_ = at + text.size();
    }
    return found;
}

int PtyProcess::wait() {
    eventually(
        [&] {
            while (readSome(0)) {
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return status_.has_value();
        },
        std::chrono::seconds(30));
    return status_.value_or(-1);
}

void PtyProcess::signal(int number) const {
    ::kill(pid_, number);
}

} // namespace OrvexTest
