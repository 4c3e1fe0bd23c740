#include "OrvexCore/Settings/FileUserDefaults.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include <fcntl.h>
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

} // namespace

std::string FileUserDefaults::defaultPath() {
    return Paths::appendingComponent(Paths::configDirectory(), "orvex/defaults.json");
}

FileUserDefaults::FileUserDefaults() : FileUserDefaults(defaultPath()) {}

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) {
    load();
}

void FileUserDefaults::load() {
    std::optional<std::string> bytes;
    try {
        bytes = readFile(path_);
    } catch (const std::system_error&) {
        // Falls through to the move aside below, with the file treated as unreadable.
    }
    std::error_code ignored;
    const bool exists = std::filesystem::exists(std::filesystem::symlink_status(path_, ignored));
    if (!bytes && !exists) {
        return;
    }
    if (bytes) {
        auto document = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions*/ false);
        if (document.is_object()) {
            for (auto& [key, value] : document.items()) {
                values_[key] = std::move(value);
            }
            return;
        }
    }
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
    values_[key] = std::move(value);
    persist();
}

void FileUserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key) > 0) {
        persist();
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

// Called with the lock held, so writes reach the file in the order the changes were made.
void FileUserDefaults::persist() {
    if (!writable_) {
        return;
    }
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [key, value] : values_) {
        document[key] = value;
    }
    // Invalid UTF-8 in a string would make dump() throw; it is written as U+FFFD instead.
    const std::string bytes =
        document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    try {
        Platform::writeFileAtomically(path_, bytes, 0600);
        persistenceError_.reset();
    } catch (const std::system_error& error) {
        persistenceError_ = error.what();
    }
}

} // namespace OrvexCore
