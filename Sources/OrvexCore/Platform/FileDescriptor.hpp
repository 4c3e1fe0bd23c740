#pragma once

#include <cerrno>

#include <unistd.h>

namespace OrvexCore::Platform {

/// Owns an open file descriptor: closes it on every path out of a scope, unless it was closed
/// by hand first.
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
    /// Closes now and reports the error (0 when none), which for a written file on some file
    /// systems (NFS) is where a failed write-back first shows up.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

} // namespace OrvexCore::Platform
