#include "Support/ProcessProbe.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;

namespace OrvexTest {

size_t openDescriptorCount() {
    return entries("/proc/self/fd").size();
}

std::vector<ChildInfo> childProcesses(pid_t parentOf) {
    std::vector<ChildInfo> children;
    const pid_t self = parentOf != 0 ? parentOf : ::getpid();
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

bool isRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

} // namespace OrvexTest
