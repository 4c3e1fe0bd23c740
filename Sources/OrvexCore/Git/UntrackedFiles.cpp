#include "OrvexCore/Git/UntrackedFiles.hpp"

#include <algorithm>
#include <array>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Platform/FileDescriptor.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::UntrackedFiles {
namespace {

// git looks for a NUL byte this far into a file to call it binary.
constexpr std::size_t binaryProbeBytes = 8000;

} // namespace

std::optional<Count> count(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    if (S_ISLNK(info.st_mode)) {
        return Count{1, false};
    }
    if (!S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    // O_NOFOLLOW: a file swapped for a link since the lstat is not read through the link.
    Platform::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (file.get() < 0) {
        return std::nullopt;
    }
    Count result;
    std::array<char, 64 * 1024> buffer{};
    std::size_t seen = 0;
    char last = '\n';
    for (;;) {
        auto n = ::read(file.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        auto size = static_cast<std::size_t>(n);
        if (seen < binaryProbeBytes) {
            auto probe = std::min(size, binaryProbeBytes - seen);
            if (std::find(buffer.data(), buffer.data() + probe, '\0') != buffer.data() + probe) {
                // git counts no lines of a binary file: neither need we.
                return Count{0, true};
            }
        }
        result.lines += std::count(buffer.data(), buffer.data() + size, '\n');
        last = buffer[size - 1];
        seen += size;
    }
    if (last != '\n') {
        ++result.lines;
    }
    return result;
}

void appendRecords(std::string& out, const std::string& worktreePath, std::string_view names) {
    for (auto name : Text::split(names, '\0', false)) {
        if (name.back() == '/') {
            continue; // a repository of its own inside the worktree
        }
        auto counted = count(worktreePath + "/" + std::string(name));
        if (!counted) {
            continue;
        }
        if (counted->binary) {
            out += "-\t-\t";
        } else {
            out += std::to_string(counted->lines);
            out += "\t0\t";
        }
        out += name;
        out += '\0';
    }
}

} // namespace OrvexCore::UntrackedFiles
