#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "OrvexCore/Models/SessionStatus.hpp"
#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Status/TerminalActivity.hpp"

namespace OrvexCore {

/// Tells from a terminal's raw output bytes and the clock whether the program in it is
/// working, idle or waiting for input, and reports every bell.
///
/// Escape sequences are stripped by a byte-level state machine whose state carries over from
/// one chunk to the next; a short tail of the printable output is kept per terminal, and the
/// shell-integration marks "133;C" (command started) and "133;D" (command finished) are
/// watched. Main executor only: no locking.
class StatusMonitor {
public:
    using Clock = std::chrono::system_clock;
    using Date = Clock::time_point;

    /// The front end's tuning; the core defines no defaults.
    struct Config {
        /// Output younger than this many seconds means `working`.
        double quietThreshold;
        /// Length the output tail is cut back to once it passes twice this length.
        std::int64_t maxTailBytes;
        /// Substrings which, found in the last output line (ignoring case), mean the program
        /// waits for input.
        std::vector<std::string> needsInputPatterns;
    };

    /// Longest operating-system command payload kept; the marks need only its first bytes.
    static constexpr std::size_t maxOSCPayloadBytes = 4096;

    /// A monitor with no bell callback and no terminal states. Throws std::invalid_argument
    /// when `maxTailBytes` is negative or twice it does not fit in a signed 64-bit integer.
    explicit StatusMonitor(Config config);
    StatusMonitor(const StatusMonitor&) = delete;
    StatusMonitor& operator=(const StatusMonitor&) = delete;

    /// Called synchronously from inside `ingest`, once per bell byte in plain output (a bell
    /// that ends an operating-system command is not a bell). It may call back into the monitor;
    /// the chunk being scanned then still finishes and is stored as if the call had come after.
    std::function<void(const UUID& terminalID)> onBell;

    const Config& config() const noexcept { return config_; }

    /// Feeds one chunk of program output that arrived at `at`. An empty chunk does nothing;
    /// any other chunk, even one of control bytes only, counts as activity.
    void ingest(const UUID& terminalID, std::span<const std::uint8_t> bytes, Date at);
    void ingest(const UUID& terminalID, std::string_view bytes, Date at);

    /// Forgets the terminal; a later chunk starts a fresh state.
    void noteClosed(const UUID& terminalID);

    /// The terminal's activity at `now`: `idle` when unknown or after a command-finished mark;
    /// `working` while its output is younger than `quietThreshold` (also when `now` is earlier
    /// than the last chunk); otherwise `needsInput` when the last non-empty output line ends in
    /// "?" or holds one of the patterns, else `idle`. The last-line verdict is computed once
    /// per change of the tail, however often this is polled.
    TerminalActivity status(const UUID& terminalID, Date now);

    /// One session's status from its terminals' activities: `needsInput` if any needs input,
    /// else `running` if any works, else `idle` (also for none). Never `unknown` or `bell`.
    static SessionStatus aggregate(const std::vector<TerminalActivity>& activities);

    /// The terminal's current output tail (printable bytes and line feeds), or nothing when
    /// the monitor holds no state for it. For diagnostics and tests.
    std::optional<std::string_view> tail(const UUID& terminalID) const;

    /// How many times a tail has been decoded for the last-line test since construction.
    std::int64_t tailDecodeCount() const noexcept { return tailDecodeCount_; }

private:
    enum class ParseState : std::uint8_t { normal, escape, csi, osc, oscEsc };

    struct TermState {
        std::optional<Date> lastActivity;
        bool commandEnded = false;
        std::string tail;
        /// The last-line verdict for the current tail; cleared whenever the tail changes.
        std::optional<bool> cachedNeedsInput;
        ParseState parse = ParseState::normal;
        std::string oscBuf;
    };

    /// A printable run of one chunk, carriage returns still in it.
    struct Run {
        const std::uint8_t* data;
        std::size_t size;
        std::size_t carriageReturns;
    };
    struct TailWriter;
    /// Buffers one chunk's scan works in, kept from chunk to chunk.
    struct Scratch {
        std::vector<Run> runs;
        /// The chunk's byte map: which bytes end a printable run, which are carriage returns.
        std::vector<std::uint64_t> bits;
    };
    /// Map words kept between chunks: enough for 256 KiB chunks.
    static constexpr std::size_t maxKeptScratchWords = 8192;

    void scan(std::span<const std::uint8_t> bytes, TermState& state, const UUID& terminalID);
    bool matchesNeedsInput(TermState& state);

    Config config_;
    std::vector<std::string> lowercasedPatterns_;
    std::unordered_map<UUID, TermState> states_;
    std::int64_t tailDecodeCount_ = 0;
    Scratch scratch_;
};

} // namespace OrvexCore
