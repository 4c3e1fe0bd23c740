#include "OrvexPty/ActivityDetector.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "OrvexCore/Util/Text.hpp"
#include "OrvexPty/ProcForegroundProbe.hpp"

namespace OrvexPty {

using OrvexCore::TerminalActivity;
using Wait = ForegroundSnapshot::Wait;

namespace {

ActivityDetector::Date after(ActivityDetector::Date date, double seconds) {
    return date + std::chrono::duration_cast<ActivityDetector::Clock::duration>(
                      std::chrono::duration<double>(seconds));
}

std::string seconds(double value) {
    char text[32];
    if (value < 10) {
        std::snprintf(text, sizeof text, "%.1f s", std::max(0.0, value));
    } else {
        std::snprintf(text, sizeof text, "%.0f s", value);
    }
    return text;
}

/// A row that ends like a shell's prompt ("$", "#", "%" or ">" after trimming).
bool looksLikeShellPrompt(std::string_view row) {
    const auto text = OrvexCore::Text::trimmed(row);
    if (text.empty()) {
        return false;
    }
    const char last = text.back();
    return last == '$' || last == '#' || last == '%' || last == '>';
}

/// The row, shortened for a reason text.
std::string quoted(std::string_view row) {
    auto text = std::string(OrvexCore::Text::trimmed(row));
    if (text.size() > 60) {
        text = text.substr(0, 57) + "...";
    }
    return "\"" + OrvexCore::Text::sanitizedUTF8(text) + "\"";
}

const ForegroundSnapshot::Process* find(const std::vector<const ForegroundSnapshot::Process*>& list,
                                        Wait wait) {
    const auto found = std::find_if(list.begin(), list.end(),
                                    [wait](const auto* process) { return process->wait == wait; });
    return found == list.end() ? nullptr : *found;
}

} // namespace

ActivityDetector::ActivityDetector(Config config, std::unique_ptr<ForegroundProbe> probe)
    : probe_(std::move(probe)) {
    setConfig(std::move(config));
}

void ActivityDetector::setConfig(Config config) {
    config_ = std::move(config);
    lowercasedPatterns_.clear();
    for (const auto& pattern : config_.questionPatterns) {
        if (!pattern.empty()) {
            lowercasedPatterns_.push_back(OrvexCore::Text::lowercased(pattern));
        }
    }
}

std::unique_ptr<ActivityDetector> ActivityDetector::forTerminal(Config config, int masterFD,
                                                                pid_t shellPID) {
    return std::make_unique<ActivityDetector>(
        std::move(config), std::make_unique<ProcForegroundProbe>(masterFD, shellPID));
}

void ActivityDetector::ingest(std::string_view bytes, Date now) {
    if (bytes.empty()) {
        return;
    }
    tracker_.ingest(bytes);
    lastOutput_ = now;
}

bool ActivityDetector::isQuestion(std::string_view row, const std::vector<std::string>& patterns) {
    const auto text = OrvexCore::Text::trimmed(row);
    if (text.empty()) {
        return false;
    }
    if (text.back() == '?') {
        return true;
    }
    const std::string lower = OrvexCore::Text::lowercased(text);
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
        return !pattern.empty() &&
               lower.find(OrvexCore::Text::lowercased(pattern)) != std::string::npos;
    });
}

std::optional<ActivityDetector::Date> ActivityDetector::probeDue() const {
    if (!probe_ || !lastOutput_) {
        return std::nullopt;
    }
    const Date settled = after(*lastOutput_, std::min(config_.settleSeconds, config_.quietSeconds));
    if (!snapshotAt_ || *snapshotAt_ < settled) {
        return settled;
    }
    const Date quietEnd = after(*lastOutput_, config_.quietSeconds);
    if (*snapshotAt_ < quietEnd) {
        return quietEnd;
    }
    if (last_.activity != TerminalActivity::idle) {
        return after(*snapshotAt_, config_.recheckSeconds);
    }
    return std::nullopt;
}

ActivityReport ActivityDetector::evaluate(Date now) {
    if (const auto due = probeDue(); due && now >= *due) {
        snapshot_ = probe_->probe();
        snapshotAt_ = now;
        ++probeCount_;
    }
    last_ = decide(now);
    return last_;
}

std::optional<ActivityDetector::Date> ActivityDetector::nextCheck(Date now) const {
    std::optional<Date> next = probeDue();
    if (lastOutput_) {
        // Without process readings, the status still turns when the quiet period ends.
        const Date quietEnd = after(*lastOutput_, config_.quietSeconds);
        if (quietEnd > now && (!next || quietEnd < *next)) {
            next = quietEnd;
        }
    }
    if (next && *next < now) {
        next = now;
    }
    return next;
}

bool ActivityDetector::fresh(Date now) const {
    return lastOutput_ && quietFor(now) < config_.quietSeconds;
}

double ActivityDetector::quietFor(Date now) const {
    if (!lastOutput_) {
        return 0;
    }
    return std::chrono::duration<double>(now - *lastOutput_).count();
}

ActivityReport ActivityDetector::decide(Date now) const {
    if (!snapshot_) {
        return fromBytes(now);
    }
    const bool outputSinceReading = lastOutput_ && snapshotAt_ && *lastOutput_ > *snapshotAt_;
    if (outputSinceReading && fresh(now)) {
        const auto& processes = snapshot_->processes;
        const std::string& name = !snapshot_->shellInForeground && !processes.empty()
                                      ? processes.front().name
                                      : snapshot_->shellName;
        return {TerminalActivity::working, name + " is writing output"};
    }
    const bool shellAlone =
        snapshot_->shellInForeground &&
        std::all_of(snapshot_->processes.begin(), snapshot_->processes.end(),
                    [&](const auto& process) { return process.pid == snapshot_->shellPID; });
    return shellAlone ? fromShell(*snapshot_, now) : fromJob(*snapshot_, now);
}

ActivityReport ActivityDetector::fromBytes(Date now) const {
    if (!lastOutput_) {
        return {TerminalActivity::idle, "no output yet"};
    }
    if (fresh(now)) {
        return {TerminalActivity::working, "output " + seconds(quietFor(now)) + " ago"};
    }
    if (tracker_.shellMark() == TerminalByteTracker::ShellMark::atPrompt) {
        return {TerminalActivity::idle, "the shell marked its prompt"};
    }
    const auto row = tracker_.lastVisibleRow();
    if (isQuestion(row, lowercasedPatterns_)) {
        return {TerminalActivity::needsInput, "the last line asks " + quoted(row)};
    }
    return {TerminalActivity::idle, "quiet for " + seconds(quietFor(now)) + ", nothing asked"};
}

ActivityReport ActivityDetector::fromShell(const ForegroundSnapshot& snapshot, Date now) const {
    const std::string& shell = snapshot.shellName;
    const auto self =
        std::find_if(snapshot.processes.begin(), snapshot.processes.end(),
                     [&](const auto& process) { return process.pid == snapshot.shellPID; });
    if (self == snapshot.processes.end()) {
        return fromBytes(now);
    }
    switch (self->wait) {
    case Wait::readsTerminal:
    case Wait::waitsForEvents: {
        using Mark = TerminalByteTracker::ShellMark;
        if (tracker_.shellMark() == Mark::commandRunning) {
            return {TerminalActivity::needsInput, shell + " is reading input for a command"};
        }
        if (tracker_.shellMark() == Mark::atPrompt) {
            return {TerminalActivity::idle, shell + " is at its prompt"};
        }
        // No marks: the row tells. A prompt drawn after an answer that was not echoed (read
        // -s) shares the question's row, so the prompt's end is looked at first. Then the
        // shell's `read` and `select` builtins read lines in canonical mode, its line editor
        // in raw mode.
        const auto row = tracker_.lastVisibleRow();
        if (looksLikeShellPrompt(row)) {
            return {TerminalActivity::idle, shell + " is at its prompt"};
        }
        if (isQuestion(row, lowercasedPatterns_)) {
            return {TerminalActivity::needsInput, shell + " asks " + quoted(row)};
        }
        if (snapshot.canonical) {
            return {TerminalActivity::needsInput, shell + " is reading a line: " + quoted(row)};
        }
        return {TerminalActivity::idle, shell + " is at its prompt"};
    }
    case Wait::stopped:
        return {TerminalActivity::idle, shell + " is stopped"};
    default:
        return {TerminalActivity::working, shell + " is running a command"};
    }
}

ActivityReport ActivityDetector::fromJob(const ForegroundSnapshot& snapshot, Date now) const {
    // The shell itself may share the group when it runs without job control; it only waits
    // for its children then, and they are the job.
    std::vector<const ForegroundSnapshot::Process*> job;
    for (const auto& process : snapshot.processes) {
        if (process.pid != snapshot.shellPID || process.wait != Wait::waitsForChild) {
            job.push_back(&process);
        }
    }
    if (job.empty()) {
        if (snapshot.processes.empty()) {
            return fromBytes(now);
        }
        return {TerminalActivity::working, snapshot.shellName + " has been running for " +
                                               seconds(quietFor(now)) + " without output"};
    }
    const std::string& name = job.front()->name;
    if (const auto* reader = find(job, Wait::readsTerminal)) {
        return {TerminalActivity::needsInput,
                reader->name + " is reading the terminal" + (snapshot.echo ? "" : " (echo off)")};
    }
    if (const auto* waiter = find(job, Wait::waitsForEvents);
        waiter && (!snapshot.canonical || tracker_.alternateScreen())) {
        if (fresh(now)) {
            return {TerminalActivity::working, waiter->name + " is updating the terminal"};
        }
        if (waiter->timeoutSeconds && *waiter->timeoutSeconds <= config_.shortTimerSeconds) {
            return {TerminalActivity::working, waiter->name + " wakes every " +
                                                   seconds(*waiter->timeoutSeconds) +
                                                   " on its own"};
        }
        return {TerminalActivity::needsInput,
                waiter->name + " is waiting for a key" +
                    (tracker_.alternateScreen() ? " (full screen)" : "")};
    }
    // A program that may not be traced, with the terminal set for a password (lines, no
    // echo), is taken to read one: sudo, su and passwd are set-user-ID.
    if (const auto* hidden = find(job, Wait::unknown);
        hidden && snapshot.canonical && !snapshot.echo) {
        return {TerminalActivity::needsInput, hidden->name + " is reading a password (echo off)"};
    }
    if (std::all_of(job.begin(), job.end(),
                    [](const auto* process) { return process->wait == Wait::stopped; })) {
        return {TerminalActivity::idle, name + " is stopped"};
    }
    if (fresh(now)) {
        return {TerminalActivity::working, name + " is writing output"};
    }
    return {TerminalActivity::working,
            name + " has been running for " + seconds(quietFor(now)) + " without output"};
}

} // namespace OrvexPty
