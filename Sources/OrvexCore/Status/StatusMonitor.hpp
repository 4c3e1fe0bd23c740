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
#include "OrvexCore/Status/OutputScanner.hpp"
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
    static constexpr std::size_t maxOSCPayloadBytes = OutputScanner::maxPayloadBytes;

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
    struct TermState {
        std::optional<Date> lastActivity;
        /// The last-line verdict for the current tail; cleared whenever the tail changes.
        std::optional<bool> cachedNeedsInput;
        /// Where the byte scanner stands, the command marks and the output tail.
        OutputScanner scanner;
    };

    using States = std::unordered_map<UUID, TermState>;

    /// Scans one chunk; true when a bell callback ran.
    bool scan(std::span<const std::uint8_t> bytes, TermState& state, const UUID& terminalID);
    bool matchesNeedsInput(TermState& state);
    /// The terminal's state, held or in the map; null when there is none.
    TermState* find(const UUID& terminalID);
    const TermState* find(const UUID& terminalID) const;
    /// Puts the held state back into the map.
    void settleHeld();

    Config config_;
    std::vector<std::string> lowercasedPatterns_;
    States states_;
    /// The state of the terminal that output came from last, out of the map: a terminal's
    /// output comes in runs of chunks, and each then needs no lookup in the map.
    States::node_type held_;
    std::int64_t tailDecodeCount_ = 0;
};

} // namespace OrvexCore
