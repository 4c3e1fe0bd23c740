#include "OrvexCore/Persistence/JSONSessionStore.hpp"

#include <cerrno>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Models/DecodingError.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Platform/AtomicFile.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {

/// The serial queue: one io_context run by one dedicated thread. A dedicated thread (rather
/// than a strand on the shared pool) keeps `flush` from ever waiting on a pool whose threads
/// are all blocked in flushes themselves.
struct JSONSessionStore::Queue {
    boost::asio::io_context context{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work =
        boost::asio::make_work_guard(context);
    std::thread thread{[this] { context.run(); }};

    ~Queue() {
        // Queued save and write tasks are dropped with the context; a task already running
        // finishes first.
        context.stop();
        thread.join();
    }

    bool isCurrentThread() { return context.get_executor().running_in_this_thread(); }
};

namespace {

std::string readWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "Cannot open " + path);
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            int error = errno;
            ::close(fd);
            throw std::system_error(error, std::generic_category(), "Cannot read " + path);
        }
        if (count == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(count));
    }
    ::close(fd);
    return bytes;
}

} // namespace

JSONSessionStore::JSONSessionStore(std::filesystem::path fileURL)
    : JSONSessionStore(std::move(fileURL), &JSONSessionStore::writeSnapshotFile) {}

JSONSessionStore::JSONSessionStore(std::filesystem::path fileURL, Writer writer)
    : fileURL_(std::move(fileURL)), writer_(std::move(writer)), queue_(std::make_unique<Queue>()) {}

JSONSessionStore::~JSONSessionStore() {
    queue_.reset();
}

std::filesystem::path JSONSessionStore::defaultURL() {
    return Paths::appendingComponent(
        Paths::appendingComponent(Paths::applicationSupportDirectory(), "Orvex"), "store.json");
}

void JSONSessionStore::writeSnapshotFile(const std::string& path, std::string_view bytes) {
    Platform::writeFileAtomically(path, bytes, 0600);
}

PersistedState JSONSessionStore::load() {
    // The same resolution as the writer's, so that a path through a symbolic link and ".."
    // loads the file that saving wrote.
    std::string path = Platform::resolvedFilePath(fileURL_.string());
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        // A plain file where a folder of the path should be also means "no file here".
        if (errno == ENOENT || errno == ENOTDIR) {
            return PersistedState{};
        }
        throw std::system_error(errno, std::generic_category(), "Cannot read " + path);
    }
    std::string bytes = readWholeFile(path);
    try {
        return decodePersistedState(bytes);
    } catch (const DecodingError& error) {
        throw error.inFile(path);
    }
}

void JSONSessionStore::save(PersistedState state) {
    boost::asio::post(queue_->context, [this, snapshot = std::move(state)]() mutable {
        pending_ = std::move(snapshot);
        if (!writeQueued_) {
            writeQueued_ = true;
            boost::asio::post(queue_->context, [this] {
                writeQueued_ = false;
                // Nobody waits for a save, so a failed write has no one to tell here: the
                // snapshot stays pending for the next save or flush, and a flush reports it.
                try {
                    writePending();
                } catch (...) {
                }
            });
        }
    });
}

void JSONSessionStore::flush() {
    if (queue_->isCurrentThread()) {
        // Waiting on our own thread would never return; everything queued ahead of a flush
        // from here has run already or is a later save, so write now.
        writePending();
        return;
    }
    std::promise<void> written;
    std::future<void> done = written.get_future();
    boost::asio::post(queue_->context, [this, &written] {
        try {
            writePending();
            written.set_value();
        } catch (...) {
            written.set_exception(std::current_exception());
        }
    });
    done.get();
}

void JSONSessionStore::writePending() {
    if (!pending_) {
        return;
    }
    // Taken out while writing, so that a flush from inside the writer finds nothing to do.
    PersistedState snapshot = std::move(*pending_);
    pending_.reset();
    try {
        std::string path = fileURL_.string();
        if (!staleFilesRemoved_) {
            // Temporary files of a process that died mid-write would otherwise pile up; those
            // of live writers (another process saving this file now) are left alone.
            Platform::removeStaleTemporaryFiles(path);
            staleFilesRemoved_ = true;
        }
        writer_(path, encodePersistedState(snapshot));
    } catch (...) {
        // Not on disk: it stays pending (unless a newer one arrived meanwhile), so a later
        // flush writes it again, and fails loudly, instead of reporting success.
        if (!pending_) {
            pending_ = std::move(snapshot);
        }
        throw;
    }
}

} // namespace OrvexCore
