#include "OrvexPty/ProcForegroundProbe.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>

#include <fcntl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace OrvexPty {

namespace {

using Wait = ForegroundSnapshot::Wait;

/// A whole small file from /proc, or nothing. Plain read(2): no stream buffers to allocate.
bool readSmallFile(const char* path, std::string& into) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    into.clear();
    std::array<char, 1024> chunk;
    for (;;) {
        const ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count <= 0) {
            break;
        }
        into.append(chunk.data(), static_cast<std::size_t>(count));
        if (into.size() > 64 * 1024) {
            break;
        }
    }
    ::close(fd);
    return !into.empty();
}

struct Stat {
    std::string name;
    char state = '?';
    pid_t group = 0;
    unsigned long long startTicks = 0;
};

/// Fields of /proc/PID/stat. The name sits in parentheses and may itself hold ") ".
bool readStat(pid_t pid, Stat& stat, std::string& buffer) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    if (!readSmallFile(path, buffer)) {
        return false;
    }
    const auto open = buffer.find('(');
    const auto close = buffer.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= buffer.size()) {
        return false;
    }
    stat.name = buffer.substr(open + 1, close - open - 1);
    const char* cursor = buffer.c_str() + close + 2;
    stat.state = *cursor;
    // Fields after the state: ppid pgrp session tty_nr tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime priority nice num_threads itrealvalue starttime.
    char* end = nullptr;
    cursor += 1;
    std::strtol(cursor, &end, 10); // ppid
    stat.group = static_cast<pid_t>(std::strtol(end, &end, 10));
    for (int field = 0; field < 16; ++field) {
        std::strtoull(end, &end, 10);
    }
    stat.startTicks = std::strtoull(end, &end, 10);
    return true;
}

/// Children of `pid` (of its main thread; enough for a shell and the programs it starts).
void appendChildren(pid_t pid, std::deque<pid_t>& into, std::string& buffer) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", pid, pid);
    if (!readSmallFile(path, buffer)) {
        return;
    }
    const char* cursor = buffer.c_str();
    char* end = nullptr;
    for (;;) {
        const long child = std::strtol(cursor, &end, 10);
        if (end == cursor) {
            break;
        }
        into.push_back(static_cast<pid_t>(child));
        cursor = end;
    }
}

/// Two 64-bit words from the process's memory (a timeval or timespec passed by address).
bool readTimeStruct(pid_t pid, unsigned long address, long long words[2]) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/mem", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t count = ::pread(fd, words, 2 * sizeof(long long), static_cast<off_t>(address));
    ::close(fd);
    return count == 2 * static_cast<ssize_t>(sizeof(long long));
}

enum class TimeArgument { none, milliseconds, timeval, timespec };

struct WaitCall {
    Wait wait;
    int timeoutArgument = -1;
    TimeArgument timeKind = TimeArgument::none;
};

WaitCall classify(long number) {
    switch (number) {
    case SYS_read:
    case SYS_readv:
    case SYS_pread64:
        return {Wait::readsTerminal}; // refined below by the descriptor
#ifdef SYS_poll
    case SYS_poll:
        return {Wait::waitsForEvents, 2, TimeArgument::milliseconds};
#endif
#ifdef SYS_select
    case SYS_select:
        return {Wait::waitsForEvents, 4, TimeArgument::timeval};
#endif
    case SYS_pselect6:
        return {Wait::waitsForEvents, 4, TimeArgument::timespec};
    case SYS_ppoll:
        return {Wait::waitsForEvents, 2, TimeArgument::timespec};
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
        return {Wait::waitsForEvents, 3, TimeArgument::milliseconds};
#endif
    case SYS_epoll_pwait:
        return {Wait::waitsForEvents, 3, TimeArgument::milliseconds};
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
        return {Wait::waitsForEvents, 3, TimeArgument::timespec};
#endif
    case SYS_wait4:
    case SYS_waitid:
        return {Wait::waitsForChild};
    default:
        return {Wait::other};
    }
}

} // namespace

ProcForegroundProbe::ProcForegroundProbe(int masterFD, pid_t shellPID)
    : masterFD_(masterFD), shellPID_(shellPID) {
    std::array<char, 128> name{};
    if (::ptsname_r(masterFD, name.data(), name.size()) == 0) {
        terminalPath_ = name.data();
    }
}

std::optional<ForegroundSnapshot> ProcForegroundProbe::probe() {
    const pid_t foreground = ::tcgetpgrp(masterFD_);
    termios modes{};
    if (foreground <= 0 || ::tcgetattr(masterFD_, &modes) != 0) {
        return std::nullopt;
    }
    ForegroundSnapshot snapshot;
    snapshot.foregroundGroup = foreground;
    snapshot.canonical = (modes.c_lflag & ICANON) != 0;
    snapshot.echo = (modes.c_lflag & ECHO) != 0;

    std::string buffer;
    Stat stat;
    if (!readStat(shellPID_, stat, buffer) || stat.state == 'Z') {
        return std::nullopt;
    }
    snapshot.shellInForeground = stat.group == foreground;
    snapshot.shellPID = shellPID_;
    snapshot.shellName = stat.name;

    double uptime = 0;
    if (readSmallFile("/proc/uptime", buffer)) {
        uptime = std::strtod(buffer.c_str(), nullptr);
    }
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));

    // The foreground group's members, found by walking down from the shell: cheaper than
    // scanning every process, and a terminal's jobs are the shell's descendants.
    std::deque<pid_t> pending{shellPID_};
    int visited = 0;
    while (!pending.empty() && visited < 256) {
        const pid_t pid = pending.front();
        pending.pop_front();
        ++visited;
        if (!readStat(pid, stat, buffer)) {
            continue;
        }
        appendChildren(pid, pending, buffer);
        if (stat.group != foreground || stat.state == 'Z') {
            continue;
        }
        ForegroundSnapshot::Process process;
        process.pid = pid;
        process.name = stat.name;
        process.ageSeconds =
            ticks > 0 ? std::max(0.0, uptime - static_cast<double>(stat.startTicks) / ticks) : 0;
        if (stat.state == 'T' || stat.state == 't') {
            process.wait = Wait::stopped;
        } else if (stat.state == 'R') {
            process.wait = Wait::running;
        } else {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%d/syscall", pid);
            if (!readSmallFile(path, buffer)) {
                process.wait = Wait::unknown;
            } else if (buffer.starts_with("running")) {
                process.wait = Wait::running;
            } else {
                const char* cursor = buffer.c_str();
                char* end = nullptr;
                const long number = std::strtol(cursor, &end, 10);
                std::array<unsigned long, 6> arguments{};
                for (auto& argument : arguments) {
                    argument = std::strtoul(end, &end, 16);
                }
                const WaitCall call = classify(number);
                process.wait = call.wait;
                if (call.wait == Wait::readsTerminal) {
                    std::snprintf(path, sizeof path, "/proc/%d/fd/%lu", pid, arguments[0]);
                    std::array<char, 128> target{};
                    const ssize_t length = ::readlink(path, target.data(), target.size() - 1);
                    // "/dev/tty" is the process's controlling terminal, which for a member of
                    // the foreground group is this one (getpass, ssh-keygen, sudo open it).
                    const std::string_view file(target.data(),
                                                static_cast<size_t>(std::max<ssize_t>(length, 0)));
                    const bool terminal = file == terminalPath_ || file == "/dev/tty";
                    if (!terminal) {
                        process.wait = Wait::other;
                    }
                } else if (call.wait == Wait::waitsForEvents) {
                    const unsigned long value =
                        arguments[static_cast<size_t>(call.timeoutArgument)];
                    if (call.timeKind == TimeArgument::milliseconds) {
                        const int milliseconds = static_cast<int>(value);
                        if (milliseconds < 0) {
                            process.waitsForever = true;
                        } else {
                            process.timeoutSeconds = milliseconds / 1000.0;
                        }
                    } else if (value == 0) {
                        process.waitsForever = true;
                    } else {
                        long long words[2];
                        if (readTimeStruct(pid, value, words)) {
                            const double fraction = call.timeKind == TimeArgument::timeval
                                                        ? static_cast<double>(words[1]) / 1e6
                                                        : static_cast<double>(words[1]) / 1e9;
                            process.timeoutSeconds = static_cast<double>(words[0]) + fraction;
                        }
                    }
                }
            }
        }
        if (pid == foreground) {
            snapshot.processes.insert(snapshot.processes.begin(), std::move(process));
        } else {
            snapshot.processes.push_back(std::move(process));
        }
    }
    return snapshot;
}

} // namespace OrvexPty
