#pragma once

#include <map>
#include <mutex>

#include "OrvexCore/Settings/UserDefaults.hpp"

namespace OrvexCore {

/// User defaults kept as one JSON object in a file. Every change is merged into the file as
/// it is at that moment (only the changed key is written; keys other processes wrote since
/// this one read the file are kept), under an exclusive lock on "<file>.lock", and the file is
/// replaced atomically with mode 0600. A file that is a symbolic link is written through to its
/// target. Reads answer from what this object loaded and changed. Safe to call from any
/// thread and from several processes at once.
///
/// A missing file reads as empty. A file that cannot be read or holds no JSON object also reads
/// as empty, and is first renamed aside (to "<path>.unreadable", or "<path>.unreadable.<n>" when
/// that is taken) so the user's data are never overwritten; if it cannot be moved, nothing is
/// ever written over it and the values live in memory only.
class FileUserDefaults final : public UserDefaults {
public:
    /// "<configDirectory>/orvex/defaults.json".
    static std::string defaultPath();

    /// Reads the file at `defaultPath()`.
    FileUserDefaults();
    /// Reads the file at `path` (absolute); the folders are created at the first write.
    explicit FileUserDefaults(std::string path);

    FileUserDefaults(const FileUserDefaults&) = delete;
    FileUserDefaults& operator=(const FileUserDefaults&) = delete;

    std::optional<nlohmann::json> object(const std::string& key) const override;
    /// Writes the file when `value` differs from what `key` holds.
    void set(const std::string& key, nlohmann::json value) override;
    /// Writes the file when `key` was present.
    void removeObject(const std::string& key) override;

    const std::string& path() const { return path_; }
    /// Where an unreadable file was moved at creation, if one was.
    std::optional<std::string> movedAsidePath() const;
    /// Why the values are not reaching the file: the last write's failure (cleared by the next
    /// successful write), or the failure to move an unreadable file aside (permanent).
    std::optional<std::string> persistenceError() const;

private:
    void load();
    /// Moves the unreadable file aside (called with the writers' lock held).
    void moveAsideUnreadable();
    /// Writes `key` (removes it when `value` is nothing) into the file as it is now.
    void persist(const std::string& key, std::optional<nlohmann::json> value);

    const std::string path_;
    mutable std::mutex mutex_;
    std::map<std::string, nlohmann::json> values_;
    std::optional<std::string> movedAsidePath_;
    std::optional<std::string> persistenceError_;
    bool writable_ = true;
};

} // namespace OrvexCore
