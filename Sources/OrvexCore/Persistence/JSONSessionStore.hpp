#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "OrvexCore/Persistence/SessionStore.hpp"

namespace OrvexCore {

/// Keeps the state in one compact JSON file. `save` hands the snapshot to the store's own
/// serial thread and returns at once; snapshots that arrive before that thread gets to write
/// replace each other, so a burst of saves costs one write, of the newest one. Writes replace
/// the file atomically and durably (mode 0600, missing folders created 0700).
///
/// Thread-safe: any thread may call `save` and `flush`. Destroying the store waits for a
/// write in progress and drops a snapshot not yet written; call `flush` first to keep it.
class JSONSessionStore final : public SessionStore {
public:
    /// Writes `bytes` as the whole content of the file at `path`, throwing on failure.
    using Writer = std::function<void(const std::string& path, std::string_view bytes)>;

    /// A store for the file at `fileURL`. Starts the store's thread; touches no file.
    explicit JSONSessionStore(std::filesystem::path fileURL);
    /// As above, writing through `writer` (which may wrap `writeSnapshotFile` to count or fail
    /// writes) instead of writing the file directly.
    JSONSessionStore(std::filesystem::path fileURL, Writer writer);
    ~JSONSessionStore() override;

    JSONSessionStore(const JSONSessionStore&) = delete;
    JSONSessionStore& operator=(const JSONSessionStore&) = delete;

    /// <application support folder>/Orvex/store.json.
    static std::filesystem::path defaultURL();

    /// The default writer: replaces the file atomically and durably with mode 0600, creating
    /// missing folders with mode 0700. Throws std::system_error on failure.
    static void writeSnapshotFile(const std::string& path, std::string_view bytes);

    const std::filesystem::path& fileURL() const { return fileURL_; }

    /// Reads the file on the calling thread. No file gives the empty state (and creates
    /// nothing). Throws std::system_error when the file cannot be read and DecodingError
    /// (naming the file and the faulty key) when its content is not a valid state document.
    PersistedState load() override;

    /// Queues `state` for the store's thread and returns without touching the disk. Never
    /// throws for a write failure: the snapshot stays pending, and the next save or flush
    /// writes it again.
    void save(PersistedState state) override;

    /// Blocks until the newest snapshot saved before the call is on disk, where it survives a
    /// power cut. Throws the write's error (std::system_error from the default writer) when
    /// it cannot be written, including a write started by an earlier save that failed; the
    /// snapshot then stays pending. Safe to call from any thread, including from a Writer
    /// running on the store's own thread.
    void flush() override;

private:
    struct Queue;

    /// Writes `pending_` and empties it; throws the write's error and keeps it on failure.
    void writePending();

    std::filesystem::path fileURL_;
    Writer writer_;
    /// Touched only on the store's thread.
    std::optional<PersistedState> pending_;
    /// A write task is queued and will see `pending_`.
    bool writeQueued_ = false;
    bool staleFilesRemoved_ = false;
    std::unique_ptr<Queue> queue_;
};

} // namespace OrvexCore
