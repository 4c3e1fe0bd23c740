// The diff helper program: reads one JSON request per line on standard input and writes one
// JSON response per line on standard output, until end of input or a shutdown request.

#include <cerrno>
#include <csignal>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include "OrvexCore/Diff/OrvexDiffHelper.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"

namespace {

/// Larger than any patch answer of text: a patch is cut to half a megabyte before it is
/// encoded, and the escapes of text add a few percent.
constexpr int answerPipeBytes = 1 << 20;

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

int main() {
    // With nobody left to read the answers, a write fails with EPIPE and the loop ends,
    // rather than the process dying of the signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Every request builds buffers of up to a few megabytes (git's output, the answer). By
    // default the C library gives such blocks back to the system on every free, and the next
    // request pays a page fault per 4 KB to get them again, which costs more than encoding
    // the answer. Keeping them in the heap makes the second and later requests cheap.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
    // A patch answer runs to several hundred KB. Through a pipe of the default 64 KB it goes
    // across in pieces, each write waiting for the reader to wake and drain the last one; a
    // pipe that holds a whole answer takes it in one write. Refused (not a pipe, or past the
    // system's limit for this user), the default pipe only costs those waits.
#ifdef F_SETPIPE_SZ
    ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, answerPipeBytes);
#endif

    OrvexCore::GitCLIService git;
    std::string buffer;
    // Where the search for the next line feed resumes, so that a long line arriving in many
    // pieces is scanned once rather than once per piece.
    size_t scanned = 0;
    char chunk[65536];

    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // End of input (or an unreadable input, which is the same to us): an unfinished
            // last line is dropped without an answer.
            return 0;
        }
        buffer.append(chunk, static_cast<size_t>(n));

        size_t start = 0;
        for (;;) {
            size_t end = buffer.find('\n', scanned);
            if (end == std::string::npos) {
                scanned = buffer.size();
                break;
            }
            std::string_view line(buffer.data() + start, end - start);
            start = scanned = end + 1;
            if (line.empty()) {
                continue;
            }
            using OrvexCore::OrvexDiffHelper::Outcome;
            auto outcome = OrvexCore::OrvexDiffHelper::handle(
                line, git, [](std::string_view bytes) { return writeAll(STDOUT_FILENO, bytes); });
            if (outcome == Outcome::endProcess) {
                return 0;
            }
            if (outcome == Outcome::sinkFailed) {
                return 1;
            }
        }
        buffer.erase(0, start);
        scanned -= start;
    }
}
