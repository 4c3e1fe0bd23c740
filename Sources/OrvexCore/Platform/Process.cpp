#include "OrvexCore/Platform/Process.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OrvexCore/Platform/ProcessOutputObserver.hpp"

extern char** environ;

namespace OrvexCore::Platform {
namespace {

void closeFd(int& fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// A write to a pipe whose reader has gone must fail with EPIPE rather than kill the whole
// application. Children get the default disposition back through posix_spawn.
void ignoreSigpipeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throwErrno(errno, "pipe");
    }
    return {fds[0], fds[1]};
}

/// File actions and attributes, released on every path out of spawn().
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

/// Connects the child's descriptor `target` as `mode` asks; for a pipe, returns the pair and
/// leaves the parent's end in `parentEnd`.
void connectStream(SpawnSetup& setup, Stdio mode, int target, bool childReads, Pipe& pipe) {
    switch (mode) {
    case Stdio::inherit:
        return;
    case Stdio::null:
        posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                         childReads ? O_RDONLY : O_WRONLY, 0);
        return;
    case Stdio::pipe:
        pipe = makePipe();
        posix_spawn_file_actions_adddup2(&setup.actions, childReads ? pipe.read : pipe.write,
                                         target);
        return;
    }
}

thread_local OutputObserver* watching = nullptr;

} // namespace

OutputObserver::Scope::Scope(OutputObserver& observer) noexcept
    : previous_(std::exchange(watching, &observer)) {}

OutputObserver::Scope::~Scope() {
    watching = previous_;
}

OutputObserver* OutputObserver::current() noexcept {
    return watching;
}

int terminationStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return WTERMSIG(waitStatus);
    }
    return -1;
}

ChildProcess ChildProcess::spawn(const std::string& executable,
                                 const std::vector<std::string>& arguments,
                                 const SpawnOptions& options) {
    if (options.input == Stdio::pipe) {
        ignoreSigpipeOnce();
    }
    SpawnSetup setup;
    Pipe in, out, err;
    auto closeAll = [&] {
        for (Pipe* p : {&in, &out, &err}) {
            closeFd(p->read);
            closeFd(p->write);
        }
    };
    try {
        connectStream(setup, options.input, STDIN_FILENO, true, in);
        connectStream(setup, options.output, STDOUT_FILENO, false, out);
        connectStream(setup, options.error, STDERR_FILENO, false, err);
    } catch (...) {
        closeAll();
        throw;
    }
    // Descriptors opened without close-on-exec (Asio's accepted sockets among them) would
    // otherwise live on in the child: a long-lived child such as the diff helper would keep a
    // connection the server closed open, and the peer would go on sending into it.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    if (options.workingDirectory) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingDirectory->c_str());
    }

    sigset_t defaults, empty;
    sigfillset(&defaults);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &empty);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    std::vector<char*> envp;
    if (options.environment) {
        for (const auto& e : *options.environment) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
    }

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes, argv.data(),
                           options.environment ? envp.data() : environ);
    if (rc != 0) {
        closeAll();
        throwErrno(rc, "cannot launch " + executable);
    }

    ChildProcess child;
    child.pid_ = pid;
    child.inputFd_ = in.write;
    child.outputFd_ = out.read;
    child.errorFd_ = err.read;
    closeFd(in.read);
    closeFd(out.write);
    closeFd(err.write);
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
    *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        inputFd_ = std::exchange(other.inputFd_, -1);
        outputFd_ = std::exchange(other.outputFd_, -1);
        errorFd_ = std::exchange(other.errorFd_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    reset();
}

void ChildProcess::reset() noexcept {
    closeFd(inputFd_);
    closeFd(outputFd_);
    closeFd(errorFd_);
    if (pid_ > 0 && !status_) {
        if (!tryWait()) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    pid_ = -1;
    status_.reset();
}

void ChildProcess::closeInput() {
    closeFd(inputFd_);
}
void ChildProcess::closeOutput() {
    closeFd(outputFd_);
}
void ChildProcess::closeError() {
    closeFd(errorFd_);
}

bool ChildProcess::writeInput(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(inputFd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int ChildProcess::wait() {
    if (status_) {
        return *status_;
    }
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0) {
        if (errno != EINTR) {
            status_ = -1;
            return -1;
        }
    }
    status_ = terminationStatus(raw);
    return *status_;
}

std::optional<int> ChildProcess::tryWait() {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        status_ = terminationStatus(raw);
    } else if (r < 0 && errno == ECHILD) {
        status_ = -1;
    }
    return status_;
}

bool ChildProcess::isRunning() {
    return pid_ > 0 && !tryWait();
}

void ChildProcess::sendSignal(int signal) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, signal);
    }
}

namespace {

/// What a watched child's output pipe is enlarged to, and how long the pipe is left alone after
/// a read has emptied it: a millisecond of output fits the pipe unless the child writes faster
/// than a GB/s, so the child does not wait on it.
constexpr int gatheredBytes = 1 << 20;
constexpr auto gatheringPause = std::chrono::milliseconds(1);

/// Drains the child's output and error pipes to their ends, writing `input` to its input pipe
/// (when it has one) as it takes it, then reaps the child.
CapturedOutput collect(ChildProcess& child, bool keepOutput, std::string_view input) {
    CapturedOutput result;
    // Only output that is kept is shown: thrown away, it is nobody's answer.
    OutputObserver* observer = keepOutput ? OutputObserver::current() : nullptr;
    if (observer) {
        observer->started();
    }
    if (input.empty()) {
        child.closeInput();
    } else {
        // Never blocks in a write: while the child's input pipe is full we read its output.
        ::fcntl(child.inputFd(), F_SETFL, ::fcntl(child.inputFd(), F_GETFL) | O_NONBLOCK);
    }

    // One poll loop drains both pipes: whichever has bytes is read, so neither can fill up
    // while the child waits to write to the other.
    std::array<pollfd, 3> fds{{{child.outputFd(), POLLIN, 0},
                               {child.errorFd(), POLLIN, 0},
                               {child.inputFd(), POLLOUT, 0}}};
    std::array<std::string*, 2> sinks{&result.output, &result.error};
    char buffer[65536];
    int open = 2;
    auto stopWriting = [&] {
        child.closeInput();
        fds[2].fd = -1;
    };
    // A child such as git writes its output a few KB at a time, and reading each piece as it
    // comes costs a wake-up, a poll and a read: for an observer, who works on the output as it
    // arrives, the output pipe is enlarged and, once a read has emptied it, left alone for a
    // moment so that the pieces gather. The child's end shows on its error pipe (closed with
    // it), and then the output is read without delay.
    const bool gather = observer && ::fcntl(child.outputFd(), F_SETPIPE_SZ, gatheredBytes) > 0;
    bool resting = false;
    std::chrono::steady_clock::time_point restingUntil;
    while (open > 0) {
        int timeout = -1;
        if (resting) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                restingUntil - std::chrono::steady_clock::now());
            if (fds[1].fd < 0 || left.count() <= 0) {
                fds[0].fd = child.outputFd();
                resting = false;
            } else {
                timeout = static_cast<int>(left.count());
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (size_t i = 0; i < sinks.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                if (keepOutput) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                    if (observer && i == 0) {
                        observer->received({buffer, static_cast<size_t>(n)});
                    }
                }
                if (gather && i == 0 && static_cast<size_t>(n) < sizeof buffer) {
                    fds[0].fd = -1;
                    resting = true;
                    restingUntil = std::chrono::steady_clock::now() + gatheringPause;
                }
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            ssize_t n = ::write(fds[2].fd, input.data(), input.size());
            if (n > 0) {
                input.remove_prefix(static_cast<size_t>(n));
                if (input.empty()) {
                    stopWriting();
                }
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                stopWriting(); // the child closed its input
            }
        }
    }
    child.closeInput();
    child.closeOutput();
    child.closeError();
    result.status = child.wait();
    return result;
}

} // namespace

CapturedOutput runToCompletion(const std::string& executable,
                               const std::vector<std::string>& arguments, bool keepOutput) {
    ChildProcess child = ChildProcess::spawn(executable, arguments);
    return collect(child, keepOutput, {});
}

CapturedOutput runWithInput(const std::string& executable,
                            const std::vector<std::string>& arguments, std::string_view input) {
    ChildProcess child = ChildProcess::spawn(
        executable, arguments,
        SpawnOptions{input.empty() ? Stdio::null : Stdio::pipe, Stdio::pipe, Stdio::pipe, {}, {}});
    return collect(child, true, input);
}

} // namespace OrvexCore::Platform
