#include "OrvexCore/Status/StatusMonitor.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <utf8proc.h>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {

namespace {

bool isHorizontalWhitespace(char32_t scalar) {
    return scalar == U'\t' ||
           utf8proc_category(static_cast<utf8proc_int32_t>(scalar)) == UTF8PROC_CATEGORY_ZS;
}

void appendScalar(std::string& out, char32_t scalar) {
    utf8proc_uint8_t buffer[4];
    const auto length = utf8proc_encode_char(static_cast<utf8proc_int32_t>(scalar), buffer);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

/// `text` (any bytes) decoded with replacement, trimmed of horizontal white space at both
/// ends and lower-cased scalar by scalar.
std::string normalizedLine(std::string_view text) {
    std::vector<char32_t> scalars;
    scalars.reserve(text.size());
    for (size_t offset = 0; offset < text.size();) {
        scalars.push_back(Text::decodeScalar(text, offset));
    }
    size_t first = 0;
    size_t last = scalars.size();
    while (first < last && isHorizontalWhitespace(scalars[first])) {
        ++first;
    }
    while (last > first && isHorizontalWhitespace(scalars[last - 1])) {
        --last;
    }
    std::string out;
    out.reserve(last - first);
    for (size_t i = first; i < last; ++i) {
        appendScalar(out, static_cast<char32_t>(
                              utf8proc_tolower(static_cast<utf8proc_int32_t>(scalars[i]))));
    }
    return out;
}

std::string lowercased(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t offset = 0; offset < text.size();) {
        const char32_t scalar = Text::decodeScalar(text, offset);
        appendScalar(
            out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(scalar))));
    }
    return out;
}

} // namespace

StatusMonitor::StatusMonitor(Config config) : config_(std::move(config)) {
    if (config_.maxTailBytes < 0 ||
        config_.maxTailBytes > std::numeric_limits<std::int64_t>::max() / 2) {
        throw std::invalid_argument("StatusMonitor: maxTailBytes must be between 0 and half "
                                    "the largest signed 64-bit integer");
    }
    lowercasedPatterns_.reserve(config_.needsInputPatterns.size());
    for (const auto& pattern : config_.needsInputPatterns) {
        lowercasedPatterns_.push_back(lowercased(pattern));
    }
}

void StatusMonitor::ingest(const UUID& terminalID, std::string_view bytes, Date at) {
    ingest(terminalID,
           std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size()),
           at);
}

void StatusMonitor::ingest(const UUID& terminalID, std::span<const std::uint8_t> bytes, Date at) {
    if (bytes.empty()) {
        return;
    }
    // The state is taken out of the monitor while the chunk is scanned, so that a bell
    // callback calling back into the monitor (noteClosed, another ingest) cannot pull it from
    // under the scanner; the scanned state is stored back afterwards, replacing whatever the
    // callback left. Between chunks it stays out of the map, held for the next chunk.
    States::node_type node;
    if (!held_.empty() && held_.key() == terminalID) {
        node = std::move(held_);
    } else {
        settleHeld();
        node = states_.extract(terminalID);
        if (node.empty()) {
            states_.try_emplace(terminalID);
            node = states_.extract(terminalID);
        }
    }
    TermState& state = node.mapped();
    state.lastActivity = at;
    if (scan(bytes, state, terminalID)) {
        // The callback may have left a state of this terminal (held or in the map) and held
        // another terminal's.
        if (!held_.empty() && held_.key() == terminalID) {
            held_ = {};
        }
        settleHeld();
        states_.erase(terminalID);
    }
    held_ = std::move(node);
}

void StatusMonitor::settleHeld() {
    if (held_.empty()) {
        return;
    }
    auto inserted = states_.insert(std::move(held_));
    if (!inserted.inserted) {
        inserted.position->second = std::move(inserted.node.mapped());
    }
}

StatusMonitor::TermState* StatusMonitor::find(const UUID& terminalID) {
    if (!held_.empty() && held_.key() == terminalID) {
        return &held_.mapped();
    }
    const auto found = states_.find(terminalID);
    return found == states_.end() ? nullptr : &found->second;
}

const StatusMonitor::TermState* StatusMonitor::find(const UUID& terminalID) const {
    if (!held_.empty() && held_.key() == terminalID) {
        return &held_.mapped();
    }
    const auto found = states_.find(terminalID);
    return found == states_.end() ? nullptr : &found->second;
}

bool StatusMonitor::scan(std::span<const std::uint8_t> bytes, TermState& state,
                         const UUID& terminalID) {
    struct BellContext {
        StatusMonitor& monitor;
        const UUID& terminalID;
        bool called = false;
    } context{*this, terminalID};
    OutputScanner::Bell bell;
    // Only a bell callback could set one while the chunk is scanned.
    if (onBell) {
        bell.context = &context;
        bell.ring = [](void* opaque) {
            auto& context = *static_cast<BellContext*>(opaque);
            if (context.monitor.onBell) {
                context.called = true;
                // A copy: the callback may replace or clear onBell.
                auto ring = context.monitor.onBell;
                ring(context.terminalID);
            }
        };
    }
    if (state.scanner.scan(bytes, static_cast<std::size_t>(config_.maxTailBytes), bell)) {
        state.cachedNeedsInput.reset();
    }
    return context.called;
}

void StatusMonitor::noteClosed(const UUID& terminalID) {
    if (!held_.empty() && held_.key() == terminalID) {
        held_ = {};
    } else {
        states_.erase(terminalID);
    }
}

TerminalActivity StatusMonitor::status(const UUID& terminalID, Date now) {
    TermState* const found = find(terminalID);
    if (found == nullptr) {
        return TerminalActivity::idle;
    }
    TermState& state = *found;
    if (!state.lastActivity || state.scanner.commandEnded) {
        return TerminalActivity::idle;
    }
    const double elapsed = std::chrono::duration<double>(now - *state.lastActivity).count();
    if (elapsed < config_.quietThreshold) {
        return TerminalActivity::working;
    }
    return matchesNeedsInput(state) ? TerminalActivity::needsInput : TerminalActivity::idle;
}

bool StatusMonitor::matchesNeedsInput(TermState& state) {
    if (state.cachedNeedsInput) {
        return *state.cachedNeedsInput;
    }
    ++tailDecodeCount_;
    // Only the last non-empty line matters. Splitting the raw bytes at line feeds gives the
    // same pieces as splitting the decoded text: a line feed byte always decodes as itself
    // and nothing else decodes to one.
    const std::string_view tail = state.scanner.tail.view();
    size_t lineEnd = tail.size();
    while (lineEnd > 0 && tail[lineEnd - 1] == '\n') {
        --lineEnd;
    }
    bool verdict = false;
    if (lineEnd > 0) {
        const size_t previousBreak = tail.rfind('\n', lineEnd - 1);
        const size_t lineStart = previousBreak == std::string_view::npos ? 0 : previousBreak + 1;
        const std::string line = normalizedLine(tail.substr(lineStart, lineEnd - lineStart));
        if (!line.empty()) {
            verdict = line.back() == '?' ||
                      std::any_of(lowercasedPatterns_.begin(), lowercasedPatterns_.end(),
                                  [&line](const std::string& pattern) {
                                      return line.find(pattern) != std::string::npos;
                                  });
        }
    }
    state.cachedNeedsInput = verdict;
    return verdict;
}

SessionStatus StatusMonitor::aggregate(const std::vector<TerminalActivity>& activities) {
    const auto has = [&activities](TerminalActivity wanted) {
        return std::find(activities.begin(), activities.end(), wanted) != activities.end();
    };
    if (has(TerminalActivity::needsInput)) {
        return SessionStatus::needsInput;
    }
    if (has(TerminalActivity::working)) {
        return SessionStatus::running;
    }
    return SessionStatus::idle;
}

std::optional<std::string_view> StatusMonitor::tail(const UUID& terminalID) const {
    const TermState* const found = find(terminalID);
    if (found == nullptr) {
        return std::nullopt;
    }
    return found->scanner.tail.view();
}

} // namespace OrvexCore
