#pragma once

#include <string>

#include <sys/types.h>

#include "OrvexPty/ForegroundProbe.hpp"

namespace OrvexPty {

/// A `ForegroundProbe` over Linux's /proc for one pseudo-terminal: `tcgetpgrp` and
/// `tcgetattr` on the master, then for each process of the foreground group found below the
/// shell: /proc/PID/stat (state, group), /proc/PID/syscall (the call it waits in and its
/// arguments) and, for a read, /proc/PID/fd/N (is it the terminal). A poll or select time-out
/// passed by address is read from /proc/PID/mem. About a dozen small reads per call; nothing
/// is kept open between calls.
///
/// Reading another process's system call needs the right to trace it, which the parent of
/// the terminal's shell has (same user, an ancestor). The caller keeps `masterFD` open.
class ProcForegroundProbe : public ForegroundProbe {
public:
    /// For the terminal whose master is `masterFD` and whose shell is `shellPID`.
    ProcForegroundProbe(int masterFD, pid_t shellPID);

    std::optional<ForegroundSnapshot> probe() override;

private:
    int masterFD_;
    pid_t shellPID_;
    std::string terminalPath_;
};

} // namespace OrvexPty
