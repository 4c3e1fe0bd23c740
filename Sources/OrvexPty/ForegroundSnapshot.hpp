#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace OrvexPty {

/// What the processes in a terminal's foreground process group are doing at one moment, as
/// read from the terminal and /proc.
struct ForegroundSnapshot {
    /// How one process waits, from the system call it is blocked in.
    enum class Wait {
        /// Runnable or on a CPU.
        running,
        /// In read() on the terminal.
        readsTerminal,
        /// In poll, select or epoll (on what cannot be told; with the terminal in raw mode it
        /// is usually the keyboard).
        waitsForEvents,
        /// In wait4 or waitid: waits for a child.
        waitsForChild,
        /// Stopped by job control or a debugger.
        stopped,
        /// Asleep in anything else: a timer, a pipe, the network, a lock, the disk.
        other,
        /// Asleep, but in what cannot be read (a set-user-ID program such as sudo, which
        /// others may not trace).
        unknown,
    };

    struct Process {
        pid_t pid = 0;
        /// The kernel's name for it (/proc/PID/comm), e.g. "python3".
        std::string name;
        Wait wait = Wait::other;
        /// For `waitsForEvents`: the time-out it waits with, in seconds, when it has one and
        /// it could be read; none for an infinite wait or when unknown.
        std::optional<double> timeoutSeconds;
        /// For `waitsForEvents`: whether the time-out is known to be infinite.
        bool waitsForever = false;
        /// Seconds since the process started.
        double ageSeconds = 0;

        bool operator==(const Process&) const = default;
    };

    /// The terminal's foreground process group.
    pid_t foregroundGroup = 0;
    /// Whether that group is the shell's own (the shell the terminal started).
    bool shellInForeground = false;
    /// The shell's process id and name, e.g. "bash".
    pid_t shellPID = 0;
    std::string shellName;
    /// The terminal's line discipline: canonical (line-by-line) input and echo.
    bool canonical = true;
    bool echo = true;
    /// The group's processes that could be read, the group leader first when it lives.
    std::vector<Process> processes;

    bool operator==(const ForegroundSnapshot&) const = default;
};

} // namespace OrvexPty
