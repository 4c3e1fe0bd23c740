#include "OrvexCore/Platform/AtomicFile.hpp"

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Platform/FileDescriptor.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore::Platform {
namespace {

constexpr std::string_view temporarySuffix = ".tmp-";
constexpr size_t temporaryRandomLength = 6;

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

/// ".<target>.tmp-": every temporary file of the target starts so; the writer's pid, a "-"
/// and mkostemp's random part follow.
std::string temporaryPrefix(std::string_view targetName) {
    std::string prefix = ".";
    prefix += targetName;
    prefix += temporarySuffix;
    return prefix;
}

/// The pid in a temporary file's name, or nothing when the name is not one of ours.
std::optional<pid_t> writerOf(std::string_view name, std::string_view targetName) {
    std::string prefix = temporaryPrefix(targetName);
    if (!name.starts_with(prefix)) {
        return std::nullopt;
    }
    name.remove_prefix(prefix.size());
    pid_t pid = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || pid <= 0 || end == name.data()) {
        return std::nullopt;
    }
    std::string_view rest(end, static_cast<size_t>(name.data() + name.size() - end));
    if (rest.size() != 1 + temporaryRandomLength || rest.front() != '-') {
        return std::nullopt;
    }
    return pid;
}

bool processExists(pid_t pid) {
    // EPERM: it exists but belongs to someone else.
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno(errno, "Cannot write " + path);
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
}

int fsyncRetrying(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

void syncDirectory(const std::string& directory) {
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        throwErrno(errno, "Cannot open folder " + directory);
    }
    if (int error = fsyncRetrying(fd.get())) {
        throwErrno(error, "Cannot sync folder " + directory);
    }
}

} // namespace

void createDirectories(const std::string& directory, mode_t mode) {
    std::string target = Paths::standardized(directory);
    // Walk down from the root so that each folder this call creates can be given its mode;
    // an EEXIST from a concurrent creator is fine as long as a folder is what stands there.
    size_t position = 0;
    while (position != std::string::npos) {
        position = target.find('/', position + 1);
        std::string prefix = target.substr(0, position);
        if (::mkdir(prefix.c_str(), mode) == 0) {
            if (::chmod(prefix.c_str(), mode) != 0) {
                throwErrno(errno, "Cannot set the permissions of " + prefix);
            }
            continue;
        }
        int error = errno;
        struct stat info {};
        if (::stat(prefix.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) {
                continue;
            }
            throwErrno(ENOTDIR,
                       "Cannot create folder " + target + ": " + prefix + " is not a folder");
        }
        throwErrno(error, "Cannot create folder " + prefix);
    }
}

std::string resolvedFilePath(const std::string& path) {
    std::string current = path;
    if (current.empty() || current.front() != '/') {
        std::error_code ignored;
        current = Paths::appendingComponent(std::filesystem::current_path(ignored).string(), path);
    }
    // Links are followed the way the kernel follows them when it opens the path, so ".."
    // after a link leaves the link's target, not the folder holding the link. A final
    // component that is a dangling link names the file its target will be.
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code error;
        std::string resolved = std::filesystem::weakly_canonical(current, error).string();
        if (error) {
            return Paths::standardized(current);
        }
        while (resolved.size() > 1 && resolved.back() == '/') {
            resolved.pop_back();
        }
        struct stat info {};
        if (::lstat(resolved.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return resolved;
        }
        char buffer[PATH_MAX];
        ssize_t length = ::readlink(resolved.c_str(), buffer, sizeof buffer);
        if (length <= 0) {
            return resolved;
        }
        std::string target(buffer, static_cast<size_t>(length));
        current = target.front() == '/'
                      ? target
                      : Paths::appendingComponent(Paths::deletingLastComponent(resolved), target);
    }
    return Paths::standardized(current);
}

void writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
    std::string target = resolvedFilePath(path);
    std::string directory = Paths::deletingLastComponent(target);
    createDirectories(directory, 0700);

    std::string temporary = Paths::appendingComponent(
        directory, temporaryPrefix(Paths::lastComponent(target)) + std::to_string(::getpid()) +
                       "-" + std::string(temporaryRandomLength, 'X'));
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    // mkostemp creates the file with mode 0600 and O_EXCL, so nobody else can open it before
    // it holds the final content.
    FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        throwErrno(errno, "Cannot create a temporary file in " + directory);
    }
    temporary.assign(name.data());
    // The lock says "still being written" to removeStaleTemporaryFiles in any process. It
    // belongs to the open file, so a second descriptor keeps it past the close below, which
    // has to come before the rename to catch a failed write-back, until the rename is done.
    ::flock(fd.get(), LOCK_EX);
    FileDescriptor lockHolder(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));

    try {
        writeAll(fd.get(), bytes, temporary);
        if (::fchmod(fd.get(), mode) != 0) {
            throwErrno(errno, "Cannot set the permissions of " + temporary);
        }
        if (int error = fsyncRetrying(fd.get())) {
            throwErrno(error, "Cannot sync " + temporary);
        }
        if (int error = fd.close()) {
            throwErrno(error, "Cannot close " + temporary);
        }
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            throwErrno(errno, "Cannot replace " + target);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectory(directory);
}

bool isTemporaryFileName(std::string_view name, std::string_view targetName) {
    return writerOf(name, targetName).has_value();
}

void removeStaleTemporaryFiles(const std::string& path) {
    std::string target = resolvedFilePath(path);
    std::string directory = Paths::deletingLastComponent(target);
    std::string targetName = Paths::lastComponent(target);
    DIR* folder = ::opendir(directory.c_str());
    if (folder == nullptr) {
        return;
    }
    std::vector<std::string> candidates;
    while (dirent* entry = ::readdir(folder)) {
        std::optional<pid_t> writer = writerOf(entry->d_name, targetName);
        // A live writer, this process included, may be about to rename its file into place.
        if (writer && *writer != ::getpid() && !processExists(*writer)) {
            candidates.emplace_back(entry->d_name);
        }
    }
    ::closedir(folder);
    for (const std::string& name : candidates) {
        // The pid may belong to another pid namespace sharing this folder: the lock a
        // writer holds until its rename is the proof that counts.
        std::string file = Paths::appendingComponent(directory, name);
        FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (fd.get() >= 0 && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink(file.c_str());
        }
    }
}

} // namespace OrvexCore::Platform
