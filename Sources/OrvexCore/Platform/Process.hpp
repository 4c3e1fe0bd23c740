#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace OrvexCore::Platform {

/// How one standard stream of a child is connected.
enum class Stdio {
    null,    ///< the null device
    pipe,    ///< a new pipe whose other end the parent owns
    inherit, ///< the parent's own stream
};

/// Everything about a child that is not its executable and arguments.
struct SpawnOptions {
    Stdio input = Stdio::null;
    Stdio output = Stdio::pipe;
    Stdio error = Stdio::pipe;
    /// Folder the child starts in; absent keeps the parent's.
    std::optional<std::string> workingDirectory;
    /// The child's whole environment as "NAME=value" entries; absent inherits the parent's.
    std::optional<std::vector<std::string>> environment;
};

/// A child process and the parent's ends of its pipes.
///
/// Pipes are created close-on-exec, so no other child ever inherits them. The child's signal
/// mask and dispositions are reset to the defaults. The destructor closes the pipe ends and
/// reaps the child, killing it first if it is still running: no zombie outlives this object.
/// Not thread-safe; one owner at a time.
class ChildProcess {
public:
    /// Starts `executable` (an absolute path) with `arguments` (argv[1...]); argv[0] is the
    /// executable. Throws std::system_error when the program cannot be launched.
    static ChildProcess spawn(const std::string& executable,
                              const std::vector<std::string>& arguments,
                              const SpawnOptions& options = {});

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    /// The parent's pipe ends, or -1 where the stream is not a pipe (or was closed).
    int inputFd() const { return inputFd_; }
    int outputFd() const { return outputFd_; }
    int errorFd() const { return errorFd_; }

    void closeInput();
    void closeOutput();
    void closeError();

    /// Writes all of `bytes` to the child's input pipe. Returns false when the child has
    /// closed its end (the write would raise SIGPIPE, which is ignored process-wide).
    bool writeInput(std::string_view bytes);

    /// Blocks until the child ends and returns its termination status: the exit code when it
    /// exited, the signal number when a signal ended it. Idempotent.
    int wait();
    /// The termination status if the child has ended (reaping it), else nothing.
    std::optional<int> tryWait();
    bool isRunning();
    /// Sends `signal` unless the child has already been reaped.
    void sendSignal(int signal);

private:
    ChildProcess() = default;
    void reset() noexcept;

    pid_t pid_ = -1;
    int inputFd_ = -1;
    int outputFd_ = -1;
    int errorFd_ = -1;
    std::optional<int> status_;
};

/// What a finished child left behind.
struct CapturedOutput {
    int status = 0;
    std::string output;
    std::string error;
};

/// Runs a program to its end with null input and both outputs on pipes, draining the two
/// pipes together while it waits, so a child writing megabytes to either never blocks.
/// When `keepOutput` is false the bytes are read and thrown away. Blocks the calling thread;
/// any number of calls may run in parallel. Throws std::system_error if launching fails.
CapturedOutput runToCompletion(const std::string& executable,
                               const std::vector<std::string>& arguments, bool keepOutput = true);

/// `runToCompletion` (keeping the output) with `input` written to the child's standard
/// input, which is then closed. The writing goes on while both outputs are drained, so a child
/// that answers as it reads never waits on a full pipe, and neither do we. A child that stops
/// reading early just does not get the rest.
CapturedOutput runWithInput(const std::string& executable,
                            const std::vector<std::string>& arguments, std::string_view input);

/// Turns a termination status from waitpid into the exit code or the signal number.
int terminationStatus(int waitStatus);

} // namespace OrvexCore::Platform
