#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

/// A look at this test process's descriptors and children through /proc, for tests that check
/// nothing is left behind.
namespace OrvexTest {

/// Descriptors this process has open now.
size_t openDescriptorCount();

/// A direct child of a process.
struct ChildInfo {
    pid_t pid = 0;
    char state = '?'; ///< as in /proc/PID/stat: 'Z' for a zombie
    std::string executable;
};
/// The direct children of `parent` (0: this process).
std::vector<ChildInfo> childProcesses(pid_t parent = 0);

/// Whether `pid` still runs: a zombie, or a process gone from /proc, does not.
bool isRunning(pid_t pid);

} // namespace OrvexTest
