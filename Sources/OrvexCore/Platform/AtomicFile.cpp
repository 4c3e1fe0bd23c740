#include "OrvexCore/Platform/AtomicFile.hpp"

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore::Platform {
namespace {

constexpr std::string_view temporarySuffix = ".tmp-";
constexpr size_t temporaryRandomLength = 6;

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

std::string temporaryPrefix(std::string_view targetName) {
    std::string prefix = ".";
    prefix += targetName;
    prefix += temporarySuffix;
    return prefix;
}

/// Closes the descriptor on every path out of a function, unless it was closed by hand.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    /// Closes now and reports the error, which for a file on some file systems (NFS) is where
    /// a failed write-back first shows up.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

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

void writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
    std::string target = Paths::standardized(path);
    std::string directory = Paths::deletingLastComponent(target);
    createDirectories(directory, 0700);

    std::string temporary =
        Paths::appendingComponent(directory, temporaryPrefix(Paths::lastComponent(target)) +
                                                 std::string(temporaryRandomLength, 'X'));
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    // mkostemp creates the file with mode 0600 and O_EXCL, so nobody else can open it before
    // it holds the final content.
    FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        throwErrno(errno, "Cannot create a temporary file in " + directory);
    }
    temporary.assign(name.data());

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
    std::string prefix = temporaryPrefix(targetName);
    return name.size() == prefix.size() + temporaryRandomLength && name.starts_with(prefix);
}

void removeStaleTemporaryFiles(const std::string& path) {
    std::string target = Paths::standardized(path);
    std::string directory = Paths::deletingLastComponent(target);
    std::string targetName = Paths::lastComponent(target);
    DIR* folder = ::opendir(directory.c_str());
    if (folder == nullptr) {
        return;
    }
    std::vector<std::string> stale;
    while (dirent* entry = ::readdir(folder)) {
        if (isTemporaryFileName(entry->d_name, targetName)) {
            stale.emplace_back(entry->d_name);
        }
    }
    ::closedir(folder);
    for (const std::string& name : stale) {
        ::unlink(Paths::appendingComponent(directory, name).c_str());
    }
}

} // namespace OrvexCore::Platform
