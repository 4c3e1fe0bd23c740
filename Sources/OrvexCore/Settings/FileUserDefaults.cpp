#include "OrvexCore/Settings/FileUserDefaults.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Platform/AtomicFile.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {
namespace {

/// The file's bytes; nothing when it does not exist. Throws std::system_error when it exists
/// but cannot be read.
std::optional<std::string> readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw std::system_error(errno, std::generic_category(), "Cannot open " + path);
    }
    std::string bytes;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int error = errno;
            ::close(fd);
            throw std::system_error(error, std::generic_category(), "Cannot read " + path);
        }
    }
    ::close(fd);
    return bytes;
}

/// Renames `path` to the first free "<path>.unreadable[.<n>]" and returns the new name.
std::string moveAside(const std::string& path) {
    for (int attempt = 0;; ++attempt) {
        std::string candidate = path + ".unreadable";
        if (attempt > 0) {
            candidate += "." + std::to_string(attempt);
        }
        struct stat info {};
        if (::lstat(candidate.c_str(), &info) == 0) {
            continue;
        }
        if (::rename(path.c_str(), candidate.c_str()) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "Cannot move the unreadable " + path + " aside");
        }
        return candidate;
    }
}

/// Holds an exclusive lock on "<path>.lock" for as long as it lives, so that one writer at a
/// time, in any process, reads the file, merges its change and replaces the file. The lock
/// file sits beside the path as given, not beside a link's target, which may be in a folder
/// the user keeps clean (a dotfiles repository).
class WriteLock {
public:
    explicit WriteLock(const std::string& path) {
        Platform::createDirectories(Paths::deletingLastComponent(path), 0700);
        const std::string lockPath = path + ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "Cannot open " + lockPath);
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int error = errno;
                ::close(fd_);
                throw std::system_error(error, std::generic_category(), "Cannot lock " + lockPath);
            }
        }
    }
    ~WriteLock() { ::close(fd_); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_ = -1;
};

/// The JSON object a settings file holds; nothing when it holds something else.
std::optional<nlohmann::json> parsedObject(const std::string& bytes) {
    auto document = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions*/ false);
    if (!document.is_object()) {
        return std::nullopt;
    }
    return document;
}

/// The JSON object stored at `path`. Nothing, with `missing` set, when there is no file (nor
/// link) at all; nothing, with `missing` clear, when what is there cannot be read as an object.
std::optional<nlohmann::json> readStoredObject(const std::string& path, bool& missing) {
    missing = false;
    std::optional<std::string> bytes;
    try {
        bytes = readFile(path);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    if (!bytes) {
        std::error_code ignored;
        missing = !std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
        return std::nullopt;
    }
    return parsedObject(*bytes);
}

} // namespace

std::string FileUserDefaults::defaultPath() {
    return Paths::appendingComponent(Paths::configDirectory(), "orvex/defaults.json");
}

FileUserDefaults::FileUserDefaults() : FileUserDefaults(defaultPath()) {}

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) {
    load();
}

void FileUserDefaults::load() {
    bool missing = false;
    auto document = readStoredObject(path_, missing);
    if (!document && !missing) {
        // A writer in another process may be creating or replacing the file right now: look
        // again under the writers' lock before calling what is there unreadable.
        try {
            WriteLock lock(path_);
            document = readStoredObject(path_, missing);
            if (!document && !missing) {
                moveAsideUnreadable();
            }
        } catch (const std::system_error& error) {
            writable_ = false;
            persistenceError_ = error.what();
        }
    }
    if (document) {
        for (auto& [key, value] : document->items()) {
            values_[key] = std::move(value);
        }
    }
}

void FileUserDefaults::moveAsideUnreadable() {
    // Whatever is there may still matter to the user (a hand edit with a typo): keep it under
    // another name rather than replacing it with the next write.
    try {
        movedAsidePath_ = moveAside(path_);
    } catch (const std::system_error& error) {
        writable_ = false;
        persistenceError_ = error.what();
    }
}

std::optional<nlohmann::json> FileUserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void FileUserDefaults::set(const std::string& key, nlohmann::json value) {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found != values_.end() && found->second == value) {
        return;
    }
    values_[key] = value;
    persist(key, std::move(value));
}

void FileUserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key) > 0) {
        persist(key, std::nullopt);
    }
}

std::optional<std::string> FileUserDefaults::movedAsidePath() const {
    std::lock_guard lock(mutex_);
    return movedAsidePath_;
}

std::optional<std::string> FileUserDefaults::persistenceError() const {
    std::lock_guard lock(mutex_);
    return persistenceError_;
}

// Called with the mutex held, so this object's writes reach the file in the order the
// changes were made. Other processes (and other objects on the same file) write the same file:
// each write takes the file as it is now and changes only its own key, under a lock shared by
// all of them, so no one's change is lost to another's stale copy.
void FileUserDefaults::persist(const std::string& key, std::optional<nlohmann::json> value) {
    if (!writable_) {
        return;
    }
    try {
        // A settings file kept as a symbolic link (into a dotfiles repository) stays one.
        WriteLock lock(path_);
        const std::string target = Platform::resolvedFilePath(path_);
        nlohmann::json document = nlohmann::json::object();
        std::optional<std::string> current;
        try {
            current = readFile(target);
        } catch (const std::system_error&) {
        }
        std::optional<nlohmann::json> parsed = current ? parsedObject(*current) : std::nullopt;
        std::error_code ignored;
        if (parsed) {
            document = std::move(*parsed);
        } else if (std::filesystem::exists(std::filesystem::symlink_status(target, ignored))) {
            // Replaced by something unreadable since it was loaded (a hand edit with a typo):
            // keep it for the user, as loading does, and write what this object knows.
            movedAsidePath_ = moveAside(target);
            for (const auto& [name, known] : values_) {
                document[name] = known;
            }
        }
        if (value) {
            document[key] = std::move(*value);
        } else {
            document.erase(key);
        }
        // Invalid UTF-8 in a string would make dump() throw; it is written as U+FFFD instead.
        const std::string bytes =
            document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        Platform::writeFileAtomically(target, bytes, 0600);
        persistenceError_.reset();
    } catch (const std::system_error& error) {
        persistenceError_ = error.what();
    }
}

} // namespace OrvexCore
