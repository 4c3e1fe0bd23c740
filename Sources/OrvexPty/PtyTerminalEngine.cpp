#include "OrvexPty/PtyTerminalEngine.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <system_error>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexCore/Terminal/TerminalLaunch.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexPty {

using OrvexCore::UUID;
namespace asio = boost::asio;

namespace {

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

/// `program` as a path execve can take: kept when it holds a slash, else looked up in the
/// PATH of the child's environment. Done before fork: the child may only make
/// async-signal-safe calls.
std::string executablePath(const std::string& program,
                           const std::map<std::string, std::string>& environment) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const auto path = environment.find("PATH");
    const std::string searched = path != environment.end() ? path->second : "/usr/bin:/bin";
    for (const auto folder : OrvexCore::Text::split(searched, ':', false)) {
        std::string candidate = std::string(folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return program;
}

[[noreturn]] void fail(const char* message, int status) {
    const ssize_t ignored = ::write(STDERR_FILENO, message, std::strlen(message));
    (void)ignored;
    _exit(status);
}

/// The part of the child between fork and exec. Only async-signal-safe calls.
[[noreturn]] void runChild(const char* slaveName, const char* cwd, const char* program,
                           char* const* argv, char* const* envp) {
    // Dispositions and the mask survive exec: the shell must start with the defaults, not with
    // what this process ignores (SIGPIPE) or blocks.
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int number = 1; number < NSIG; ++number) {
        if (number != SIGKILL && number != SIGSTOP) {
            ::signal(number, SIG_DFL);
        }
    }
    if (::setsid() < 0) {
        _exit(127);
    }
    const int slave = ::open(slaveName, O_RDWR);
    if (slave < 0) {
        _exit(127);
    }
    ::ioctl(slave, TIOCSCTTY, 0);
    ::dup2(slave, STDIN_FILENO);
    ::dup2(slave, STDOUT_FILENO);
    ::dup2(slave, STDERR_FILENO);
    if (slave > STDERR_FILENO) {
        ::close(slave);
    }
    // Nothing else this process has open may leak into the shell, whatever its flags.
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    if (::chdir(cwd) != 0) {
        fail("orvex: cannot enter the terminal's folder\r\n", 126);
    }
    ::execve(program, argv, envp);
    fail("orvex: cannot start the shell\r\n", 127);
}

} // namespace

/// One started process and its pseudo-terminal. Shared by the handle and by every pending
/// asynchronous operation, so it lives until the process is reaped and the terminal released.
struct PtyTerminalEngine::Child : std::enable_shared_from_this<Child> {
    Child(asio::any_io_executor executor, UUID id, pid_t pid, int masterFD)
        : id(id), pid(pid), master(executor, masterFD), exitWatch(executor), exitPoll(executor),
          killTimer(executor) {}

    ~Child() {
        if (!reaped) {
            // The last reference went before the process ended (the executor was torn down):
            // it must not outlive us as an orphan or a zombie.
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    void start(std::function<void(const UUID&, std::string_view)> output) {
        onOutput = std::move(output);
        read();
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
            exitWatch.assign(pidfd);
            watchExit();
        } else {
            // Kernels before 5.3 have no process descriptors: poll instead.
            pollExit();
        }
    }

    void read() {
        reading = true;
        master.async_read_some(
            asio::buffer(buffer),
            [self = shared_from_this()](boost::system::error_code error, std::size_t count) {
                self->reading = false;
                if (count > 0) {
                    count += self->readWaiting(count);
                    self->deliver(std::string_view(self->buffer.data(), count));
                }
                // EIO: every slave descriptor is closed; the terminal is done.
                const bool more =
                    (!error || error == asio::error::operation_aborted) && self->master.is_open();
                if (self->exitPending) {
                    self->reportExit();
                }
                if (more && !self->released && !self->held) {
                    self->read();
                }
            });
    }

    /// Adds to the buffer, after its first `filled` bytes, what else the terminal holds now,
    /// without waiting, and returns how much. A read of the terminal gives at most a few
    /// kilobytes; during a flood, more has come while the last piece was handled, and passing it
    /// on as one piece spares every client a message, and the screen model a call, per read.
    std::size_t readWaiting(std::size_t filled) {
        std::size_t added = 0;
        while (filled + added < buffer.size()) {
            const ssize_t count = ::read(master.native_handle(), buffer.data() + filled + added,
                                         buffer.size() - filled - added);
            if (count > 0) {
                added += static_cast<std::size_t>(count);
            } else if (count == 0 || errno != EINTR) {
                // Nothing more now (EAGAIN), or the terminal is done: the next read says so.
                break;
            }
        }
        return added;
    }

    /// Stops reading the terminal (its program blocks once the terminal's buffer is full) or
    /// starts again.
    void hold(bool on) {
        held = on;
        if (!held && !reading && !released && !reaped && master.is_open()) {
            read();
        }
    }

    void deliver(std::string_view bytes) {
        if (released) {
            return;
        }
        if (onOutput) {
            onOutput(id, bytes);
        }
        if (auto owner = handle.lock()) {
            if (auto callback = owner->auxiliaryCallback) {
                callback(bytes);
            }
        }
    }

    void watchExit() {
        exitWatch.async_wait(asio::posix::stream_descriptor::wait_read,
                             [self = shared_from_this()](boost::system::error_code) {
                                 if (!self->tryReap()) {
                                     self->watchExit();
                                 }
                             });
    }

    void pollExit() {
        exitPoll.expires_after(std::chrono::milliseconds(50));
        exitPoll.async_wait([self = shared_from_this()](boost::system::error_code) {
            if (!self->tryReap()) {
                self->pollExit();
            }
        });
    }

    /// Reaps the process if it has ended; then delivers the output still buffered and reports
    /// the exit. Returns whether it was reaped.
    bool tryReap() {
        if (reaped) {
            return true;
        }
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(pid, &status, WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == 0) {
            return false;
        }
        reaped = true;
        killTimer.cancel();
        boost::system::error_code ignored;
        exitWatch.close(ignored);
        if (result == pid && WIFEXITED(status)) {
            exitCode = WEXITSTATUS(status);
        }
        exitPending = true;
        if (reading) {
            // The loop may already have read the last output, its handler queued behind this
            // one: the exit is reported from that handler, after the output. Cancelling makes
            // a read that found nothing yet complete at once.
            master.cancel(ignored);
        } else {
            reportExit();
        }
        return true;
    }

    /// Delivers what the process left in the terminal, then tells the handle's `onExit`.
    void reportExit() {
        exitPending = false;
        drain();
        if (!released) {
            if (auto owner = handle.lock()) {
                if (auto callback = owner->onExit) {
                    callback(exitCode);
                }
            }
        }
    }

    /// Reads what the process left in the terminal without waiting (a read of the master first
    /// moves whatever the kernel still holds for it), so the exit is reported after the last
    /// output. Only while no asynchronous read is outstanding.
    void drain() {
        if (!master.is_open()) {
            return;
        }
        std::array<char, 4096> chunk;
        // Bounded: a process that outlived the shell and still writes must not hold the loop.
        for (int round = 0; round < 256; ++round) {
            const ssize_t count = ::read(master.native_handle(), chunk.data(), chunk.size());
            if (count > 0) {
                deliver(std::string_view(chunk.data(), static_cast<std::size_t>(count)));
                if (released || !master.is_open()) {
                    return;
                }
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
    }

    void send(std::string_view text) {
        if (released || text.empty()) {
            return;
        }
        writes.emplace_back(text);
        if (!writing) {
            writeNext();
        }
    }

    void writeNext() {
        writing = true;
        asio::async_write(
            master, asio::buffer(writes.front()),
            [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                self->writes.pop_front();
                if (error) {
                    self->writes.clear();
                }
                if (self->writes.empty() || !self->master.is_open()) {
                    self->writing = false;
                    return;
                }
                self->writeNext();
            });
    }

    void terminate(double graceSeconds) {
        if (released) {
            return;
        }
        released = true;
        onOutput = nullptr;
        if (!reaped) {
            // The foreground job may run in a process group of its own (job control); it is
            // hung up with the terminal. The shell's group gets the hang-up, then SIGKILL.
            const pid_t foreground = ::tcgetpgrp(master.native_handle());
            if (foreground > 0 && foreground != pid) {
                ::kill(-foreground, SIGHUP);
                ::kill(-foreground, SIGCONT);
            }
            ::kill(-pid, SIGHUP);
            ::kill(-pid, SIGCONT);
            killTimer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(graceSeconds)));
            killTimer.async_wait([self = shared_from_this()](boost::system::error_code error) {
                // Never signal a reaped process: its id may belong to another by now.
                if (!error && !self->reaped) {
                    ::kill(-self->pid, SIGKILL);
                }
            });
        }
        boost::system::error_code ignored;
        master.close(ignored);
        // A write under way still owns its buffer, and its handler takes it off the queue.
        writes.resize(writing ? 1 : 0);
    }

    const UUID id;
    const pid_t pid;
    asio::posix::stream_descriptor master;
    asio::posix::stream_descriptor exitWatch;
    asio::steady_timer exitPoll;
    asio::steady_timer killTimer;
    std::array<char, 65536> buffer{};
    std::deque<std::string> writes;
    bool writing = false;
    bool reading = false;
    /// Reading is paused: whoever takes the output cannot keep up.
    bool held = false;
    bool reaped = false;
    /// Reaped, exit not reported yet: the outstanding read reports it.
    bool exitPending = false;
    std::optional<std::int32_t> exitCode;
    bool released = false;
    std::function<void(const UUID&, std::string_view)> onOutput;
    std::weak_ptr<OrvexCore::TerminalHandle> handle;
};

namespace {

class PtyTerminalHandle : public OrvexCore::TerminalHandle {
public:
    PtyTerminalHandle(std::shared_ptr<PtyTerminalEngine::Child> child, double graceSeconds)
        : child_(std::move(child)), graceSeconds_(graceSeconds) {}

    /// A terminal nobody refers to any more can never be used again: it is released.
    ~PtyTerminalHandle() override { child_->terminate(graceSeconds_); }

    UUID id() const override { return child_->id; }

    std::optional<std::int64_t> processID() const override {
        if (child_->reaped) {
            return std::nullopt;
        }
        return child_->pid;
    }

    void send(std::string_view text) override { child_->send(text); }

    void terminate() override { child_->terminate(graceSeconds_); }

    PtyTerminalEngine::Child& child() const { return *child_; }

private:
    std::shared_ptr<PtyTerminalEngine::Child> child_;
    double graceSeconds_;
};

} // namespace

PtyTerminalEngine::PtyTerminalEngine(asio::any_io_executor mainExecutor, Options options)
    : executor_(std::move(mainExecutor)), options_(std::move(options)),
      children_(std::make_shared<std::vector<std::weak_ptr<Child>>>()) {}

PtyTerminalEngine::~PtyTerminalEngine() = default;

std::string
PtyTerminalEngine::shellFor(const std::map<std::string, std::string>& environment) const {
    if (options_.shell && !options_.shell->empty()) {
        return *options_.shell;
    }
    const auto shell = environment.find("SHELL");
    if (shell != environment.end() && !shell->second.empty()) {
        return shell->second;
    }
    return "/bin/sh";
}

std::optional<PtyTerminalEngine::TerminalProcess>
PtyTerminalEngine::processOf(const OrvexCore::TerminalHandle& handle) {
    const auto* own = dynamic_cast<const PtyTerminalHandle*>(&handle);
    if (own == nullptr) {
        return std::nullopt;
    }
    Child& child = own->child();
    if (child.released || child.reaped || !child.master.is_open()) {
        return std::nullopt;
    }
    return TerminalProcess{child.master.native_handle(), child.pid};
}

void PtyTerminalEngine::holdOutput(const OrvexCore::TerminalHandle& handle, bool hold) {
    if (const auto* own = dynamic_cast<const PtyTerminalHandle*>(&handle)) {
        own->child().hold(hold);
    }
}

std::size_t PtyTerminalEngine::liveProcessCount() const {
    std::erase_if(*children_, [](const std::weak_ptr<Child>& weak) {
        const auto child = weak.lock();
        return !child || child->reaped;
    });
    return children_->size();
}

std::shared_ptr<OrvexCore::TerminalHandle>
PtyTerminalEngine::makeTerminal(const std::string& cwd, const std::optional<std::string>& command,
                                const std::map<std::string, std::string>& environment) {
    const OrvexCore::TerminalLaunch::Plan plan =
        OrvexCore::TerminalLaunch::resolve(command, shellFor(environment));

    // Everything the child needs is built here: after fork it may not allocate.
    const std::string program = executablePath(plan.program, environment);
    std::vector<std::string> arguments{plan.program};
    arguments.insert(arguments.end(), options_.shellArguments.begin(),
                     options_.shellArguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (const auto& [name, value] : environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    // Close-on-exec from the start, so no child started meanwhile by another thread inherits
    // the terminal (it would keep the terminal open after its shell is gone).
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        throwErrno("posix_openpt");
    }
    std::array<char, 128> slaveName{};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, slaveName.data(), slaveName.size()) != 0) {
        const int saved = errno;
        ::close(master);
        throw std::system_error(saved, std::generic_category(), "preparing a pseudo-terminal");
    }
    // Reads that find nothing must return at once (the drain after exit relies on it).
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    winsize size{};
    size.ws_row = options_.rows;
    size.ws_col = options_.columns;
    ::ioctl(master, TIOCSWINSZ, &size);

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int saved = errno;
        ::close(master);
        throw std::system_error(saved, std::generic_category(), "fork");
    }
    if (pid == 0) {
        runChild(slaveName.data(), cwd.c_str(), program.c_str(), argv.data(), envp.data());
    }

    auto child = std::make_shared<Child>(executor_, UUID(), pid, master);
    auto handle = std::make_shared<PtyTerminalHandle>(child, options_.terminateGraceSeconds);
    child->handle = handle;
    liveProcessCount(); // prunes the list
    children_->push_back(child);
    child->start(options_.onOutput);
    if (plan.initialInput) {
        child->send(*plan.initialInput);
    }
    return handle;
}

} // namespace OrvexPty
