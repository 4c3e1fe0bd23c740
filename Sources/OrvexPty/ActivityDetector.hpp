#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "OrvexPty/ActivityReport.hpp"
#include "OrvexPty/ForegroundProbe.hpp"
#include "OrvexPty/TerminalByteTracker.hpp"

namespace OrvexPty {

/// Tells what the program in one terminal is doing, from its output bytes and from what its
/// foreground processes are blocked in, and says why in words.
///
/// Layers, first match wins:
/// 1. Output newer than the last look at the processes: `working` ("... is writing output")
///    while it is younger than the quiet period.
/// 2. The processes, once the output has settled: the shell in the foreground, reading the
///    terminal, is at its prompt (`idle`), unless its prompt marks say a command runs or the
///    line it reads for is not a prompt (`read -p`, `select`: `needsInput`). A job blocked in
///    read() on the terminal needs input. A job waiting in poll/select/epoll with the terminal
///    in raw mode waits for keys (`needsInput`), unless it prints or wakes on a short timer
///    on its own (`working`). Anything else a job does (running, sleeping, waiting for a child,
///    the disk or the network) is `working`, however long it has been silent. A stopped job
///    is `idle`.
/// 3. Without process information (the terminal or shell is gone, /proc unreadable): the
///    bytes alone, as the status monitor reads them: fresh output is `working`, a finished
///    command mark is `idle`, a last row that asks (ends in "?" or holds a question pattern)
///    is `needsInput`, else `idle`.
///
/// The processes are read only when due: once the output has been quiet for `settleSeconds`,
/// again when the quiet period ends, and every `recheckSeconds` while the status is not
/// `idle` (a program may finish or start waiting without printing). `nextCheck` tells the
/// caller when to evaluate next; between those moments an idle terminal costs nothing.
///
/// Main executor only; not thread-safe.
class ActivityDetector {
public:
    using Clock = std::chrono::system_clock;
    using Date = Clock::time_point;

    struct Config {
        /// Output younger than this many seconds means `working` when the processes do not
        /// say otherwise.
        double quietSeconds = 1.0;
        /// Substrings (any case) of the last row which mean a question.
        std::vector<std::string> questionPatterns;
        /// How long output must pause before the processes are read.
        double settleSeconds = 0.1;
        /// How often the processes are read again while the status is not `idle`.
        double recheckSeconds = 1.0;
        /// A program waiting for events with a time-out at most this long wakes on its own
        /// (an animation, a refresh): it is `working`, not waiting for keys.
        double shortTimerSeconds = 2.0;
    };

    /// A detector reading the processes through `probe`; with none it uses the bytes alone.
    ActivityDetector(Config config, std::unique_ptr<ForegroundProbe> probe);

    /// A detector for the pseudo-terminal whose master is `masterFD` (kept open by the
    /// caller) and whose shell is `shellPID`.
    static std::unique_ptr<ActivityDetector> forTerminal(Config config, int masterFD,
                                                         pid_t shellPID);

    ActivityDetector(const ActivityDetector&) = delete;
    ActivityDetector& operator=(const ActivityDetector&) = delete;

    /// Takes new tuning (the user changed a setting) without forgetting the output seen so far;
    /// the next `evaluate` decides with it.
    void setConfig(Config config);

    /// Feeds one chunk of the terminal's output, arrived at `now`. Empty chunks are ignored.
    void ingest(std::string_view bytes, Date now);

    /// The status at `now`, reading the processes first if a reading is due.
    ActivityReport evaluate(Date now);

    /// When `evaluate` should run next for the status to stay true without new output; none
    /// while nothing can change without output (idle, or no output yet).
    std::optional<Date> nextCheck(Date now) const;

    const TerminalByteTracker& bytes() const noexcept { return tracker_; }
    /// The latest process snapshot, if any was read.
    const std::optional<ForegroundSnapshot>& snapshot() const noexcept { return snapshot_; }
    /// How many times the processes have been read.
    std::uint64_t probeCount() const noexcept { return probeCount_; }

    /// Whether `row` asks a question: ends in "?" (trailing blanks ignored) or holds one of
    /// `patterns` (compared lower-cased).
    static bool isQuestion(std::string_view row, const std::vector<std::string>& patterns);

private:
    std::optional<Date> probeDue() const;
    ActivityReport decide(Date now) const;
    ActivityReport fromBytes(Date now) const;
    ActivityReport fromShell(const ForegroundSnapshot& snapshot, Date now) const;
    ActivityReport fromJob(const ForegroundSnapshot& snapshot, Date now) const;
    bool fresh(Date now) const;
    double quietFor(Date now) const;

    Config config_;
    std::vector<std::string> lowercasedPatterns_;
    std::unique_ptr<ForegroundProbe> probe_;
    TerminalByteTracker tracker_;
    std::optional<Date> lastOutput_;
    std::optional<Date> snapshotAt_;
    std::optional<ForegroundSnapshot> snapshot_;
    bool probeFailed_ = false;
    ActivityReport last_;
    std::uint64_t probeCount_ = 0;
};

} // namespace OrvexPty
