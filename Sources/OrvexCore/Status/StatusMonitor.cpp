#include "OrvexCore/Status/StatusMonitor.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <utf8proc.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {

namespace {

constexpr std::uint8_t kBell = 0x07;
constexpr std::uint8_t kEscape = 0x1B;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kCarriageReturn = 0x0D;

/// Where a printable run stops: the first byte in [p, end) that is a C0 control byte other
/// than the line feed and the carriage return, or `end`. A carriage return is dropped from the
/// tail like every other control byte, but it does not need the scanner: it stays inside the
/// run (so a CR LF line end does not split the run in two) and is left out when the run is
/// copied. `carriageReturns` grows by the number of them in [p, stop). Long printable runs are
/// searched sixteen bytes at a time, the carriage returns counted in byte lanes on the way.
inline const std::uint8_t* findRunEnd(const std::uint8_t* p, const std::uint8_t* end,
                                      size_t& carriageReturns) {
#if defined(__SSE2__)
    const __m128i highestControl = _mm_set1_epi8(0x1F);
    const __m128i lineFeed = _mm_set1_epi8(static_cast<char>(kLineFeed));
    const __m128i carriageReturn = _mm_set1_epi8(static_cast<char>(kCarriageReturn));
    const __m128i zero = _mm_setzero_si128();
    const auto laneSum = [&zero](__m128i lanes) {
        const __m128i sums = _mm_sad_epu8(lanes, zero);
        return static_cast<size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    };
    __m128i counts = zero; // per byte lane, at most 255 blocks before they are summed
    unsigned blocks = 0;
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, highestControl), v);
        const __m128i cr = _mm_cmpeq_epi8(v, carriageReturn);
        const __m128i kept = _mm_or_si128(_mm_cmpeq_epi8(v, lineFeed), cr);
        const auto stops =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(kept, control)));
        if (stops != 0) {
            const unsigned at = static_cast<unsigned>(__builtin_ctz(stops));
            for (unsigned before = static_cast<unsigned>(_mm_movemask_epi8(cr)) & ((1u << at) - 1u);
                 before != 0; before &= before - 1) {
                ++carriageReturns;
            }
            carriageReturns += laneSum(counts);
            return p + at;
        }
        counts = _mm_sub_epi8(counts, cr); // a match is all ones, minus one
        if (++blocks == 255) {
            carriageReturns += laneSum(counts);
            counts = zero;
            blocks = 0;
        }
        p += 16;
    }
    carriageReturns += laneSum(counts);
#endif
    for (; p < end; ++p) {
        if (*p < 0x20 && *p != kLineFeed) {
            if (*p != kCarriageReturn) {
                return p;
            }
            ++carriageReturns;
        }
    }
    return end;
}

#if defined(__x86_64__)
/// The sum of the 32 byte lanes of `lanes`.
[[gnu::target("avx2")]] size_t laneSum(__m256i lanes) {
    const __m256i sums = _mm256_sad_epu8(lanes, _mm256_setzero_si256());
    return static_cast<size_t>(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                               _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3));
}

/// `findRunEnd` thirty-two bytes at a time, for processors with AVX2: plain text without
/// colours (a listing, a log) is one long run per chunk, and this is most of its cost.
[[gnu::target("avx2")]] const std::uint8_t*
findRunEndWide(const std::uint8_t* p, const std::uint8_t* end, size_t& carriageReturns) {
    const __m256i highestControl = _mm256_set1_epi8(0x1F);
    const __m256i lineFeed = _mm256_set1_epi8(static_cast<char>(kLineFeed));
    const __m256i carriageReturn = _mm256_set1_epi8(static_cast<char>(kCarriageReturn));
    const __m256i zero = _mm256_setzero_si256();
    __m256i counts = zero;
    unsigned blocks = 0;
    while (end - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(v, highestControl), v);
        const __m256i cr = _mm256_cmpeq_epi8(v, carriageReturn);
        const __m256i kept = _mm256_or_si256(_mm256_cmpeq_epi8(v, lineFeed), cr);
        const auto stops =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_andnot_si256(kept, control)));
        if (stops != 0) {
            const unsigned at = static_cast<unsigned>(__builtin_ctz(stops));
            for (std::uint32_t before = static_cast<std::uint32_t>(_mm256_movemask_epi8(cr)) &
                                        ((std::uint32_t{1} << at) - 1u);
                 before != 0; before &= before - 1) {
                ++carriageReturns;
            }
            carriageReturns += laneSum(counts);
            return p + at;
        }
        counts = _mm256_sub_epi8(counts, cr);
        if (++blocks == 255) {
            carriageReturns += laneSum(counts);
            counts = zero;
            blocks = 0;
        }
        p += 32;
    }
    carriageReturns += laneSum(counts);
    return findRunEnd(p, end, carriageReturns);
}

const bool hasWideVectors = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

/// `findRunEnd` with the widest vectors the processor has.
inline const std::uint8_t* findRunEndFast(const std::uint8_t* p, const std::uint8_t* end,
                                          size_t& carriageReturns) {
#if defined(__x86_64__)
    if (hasWideVectors && end - p >= 64) {
        return findRunEndWide(p, end, carriageReturns);
    }
#endif
    return findRunEnd(p, end, carriageReturns);
}

/// First byte in [p, end) that ends a control sequence (0x40 to 0x7E), or `end`: the vector
/// search for long parameter lists. Short sequences never get here (see `findFinalByte`).
[[gnu::noinline]] const std::uint8_t* findFinalByteFar(const std::uint8_t* p,
                                                       const std::uint8_t* end) {
#if defined(__SSE2__)
    const __m128i low = _mm_set1_epi8(0x40);
    const __m128i high = _mm_set1_epi8(0x7E);
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i aboveLow = _mm_cmpeq_epi8(_mm_max_epu8(v, low), v);
        const __m128i belowHigh = _mm_cmpeq_epi8(_mm_min_epu8(v, high), v);
        const int mask = _mm_movemask_epi8(_mm_and_si128(aboveLow, belowHigh));
        if (mask != 0) {
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        }
        p += 16;
    }
#endif
    while (p < end && (*p < 0x40 || *p > 0x7E)) {
        ++p;
    }
    return p;
}

/// First byte in [p, end) that ends a control sequence, or `end`. Nearly every sequence ends
/// within a few bytes ("ESC [ m", "ESC [ 0 1 ; 3 4 m"), so those are looked at in line.
inline const std::uint8_t* findFinalByte(const std::uint8_t* p, const std::uint8_t* end) {
    const std::uint8_t* const near = end - p > 8 ? p + 8 : end;
    for (; p < near; ++p) {
        if (*p >= 0x40 && *p <= 0x7E) {
            return p;
        }
    }
    return p == end ? end : findFinalByteFar(p, end);
}

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

/// Collects the printable runs of one chunk and writes the tail once, at the end of the chunk.
/// The tail is cut back to `maxTailBytes` only when the whole chunk has pushed it past twice
/// that length, and then only the last `maxTailBytes` bytes of everything survive: knowing
/// every run first, only those bytes are copied. Runs still hold their carriage returns,
/// counted, and lose them as they are copied.
struct StatusMonitor::TailWriter {
    std::string& tail;
    std::vector<Run>& runs;
    const size_t limit;
    size_t kept = 0;

    void add(const std::uint8_t* data, size_t size, size_t carriageReturns) {
        runs.push_back(Run{data, size, carriageReturns});
        kept += size - carriageReturns;
    }

    /// Writes the last `last` kept bytes of `run` (all but its carriage returns) at `out`;
    /// returns the end of what was written.
    static char* copy(char* out, const Run& run, size_t last) {
        const char* begin = reinterpret_cast<const char*>(run.data);
        const char* const end = begin + run.size;
        if (run.carriageReturns == 0) {
            std::memcpy(out, end - last, last);
            return out + last;
        }
        // Skip kept bytes at the front until `last` remain.
        for (size_t skip = run.size - run.carriageReturns - last; skip > 0; ++begin) {
            skip -= *begin != '\r';
        }
        while (begin < end) {
            const char* cr = static_cast<const char*>(
                std::memchr(begin, '\r', static_cast<size_t>(end - begin)));
            const char* stop = cr ? cr : end;
            std::memcpy(out, begin, static_cast<size_t>(stop - begin));
            out += stop - begin;
            begin = cr ? cr + 1 : end;
        }
        return out;
    }

    /// Appends the runs from `first` on, the first of them only for its last `fromFirst`
    /// kept bytes, sizing the tail once.
    void appendRuns(size_t first, size_t fromFirst, size_t total) {
        const size_t at = tail.size();
        tail.resize(at + total);
        char* out = tail.data() + at;
        out = copy(out, runs[first], fromFirst);
        for (size_t index = first + 1; index < runs.size(); ++index) {
            out = copy(out, runs[index], runs[index].size - runs[index].carriageReturns);
        }
    }

    /// Writes the runs into the tail; true when the tail changed.
    bool finish() {
        if (kept == 0) {
            return false;
        }
        const size_t whole = runs[0].size - runs[0].carriageReturns;
        if (tail.size() + kept <= 2 * limit) {
            appendRuns(0, whole, kept);
            return true;
        }
        if (limit == 0) {
            tail.clear();
            return true;
        }
        if (kept < limit) {
            tail.erase(0, tail.size() - (limit - kept));
            appendRuns(0, whole, kept);
            return true;
        }
        // Only the chunk's last `limit` kept bytes survive: find the run where they begin.
        size_t first = runs.size();
        size_t fromFirst = 0;
        for (size_t need = limit; need > 0;) {
            const Run& run = runs[--first];
            fromFirst = std::min(need, run.size - run.carriageReturns);
            need -= fromFirst;
        }
        tail.clear();
        appendRuns(first, fromFirst, limit);
        return true;
    }
};

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
    // The state is taken out of the map while the chunk is scanned, so that a bell callback
    // calling back into the monitor (noteClosed, another ingest) cannot pull it from under the
    // scanner; the scanned state is stored back afterwards, replacing whatever the callback
    // left. Moving the node avoids an allocation per chunk.
    auto node = states_.extract(terminalID);
    if (node.empty()) {
        states_.try_emplace(terminalID);
        node = states_.extract(terminalID);
    }
    TermState& state = node.mapped();
    state.lastActivity = at;
    scan(bytes, state, terminalID);
    auto inserted = states_.insert(std::move(node));
    if (!inserted.inserted) {
        inserted.position->second = std::move(inserted.node.mapped());
    }
}

void StatusMonitor::scan(std::span<const std::uint8_t> bytes, TermState& state,
                         const UUID& terminalID) {
    // Runs are collected in a buffer reused from chunk to chunk; it is taken out of the monitor
    // meanwhile, so that a bell callback feeding the monitor again gets a buffer of its own.
    std::vector<Run> runs = std::move(runScratch_);
    runs.clear();
    TailWriter writer{state.tail, runs, static_cast<size_t>(config_.maxTailBytes)};
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();

    auto evaluatePayload = [&state] {
        const std::string& payload = state.oscBuf;
        // The payload is ASCII up to the byte looked at, so testing bytes is the same as
        // testing the decoded text: an invalid byte would decode to U+FFFD, never to these.
        if (payload.size() >= 5 && payload.compare(0, 4, "133;") == 0) {
            if (payload[4] == 'C') {
                state.commandEnded = false;
            } else if (payload[4] == 'D') {
                state.commandEnded = true;
            }
        }
    };

    while (p < end) {
        switch (state.parse) {
        case ParseState::normal:
            // Plain output and the control sequences that colour and move it make up nearly
            // all terminal traffic, so they are handled here without a trip round the state
            // switch: a printable run, then an escape with its control sequence, and again.
            while (p < end) {
                size_t carriageReturns = 0;
                const std::uint8_t* control = findRunEndFast(p, end, carriageReturns);
                if (control != p) {
                    writer.add(p, static_cast<size_t>(control - p), carriageReturns);
                    p = control;
                    if (p == end) {
                        break;
                    }
                }
                const std::uint8_t byte = *p++;
                if (byte == kEscape) {
                    if (p == end) {
                        state.parse = ParseState::escape;
                        break;
                    }
                    const std::uint8_t next = *p++;
                    if (next == '[') {
                        p = findFinalByte(p, end);
                        if (p == end) {
                            state.parse = ParseState::csi;
                            break;
                        }
                        ++p;
                    } else if (next == ']') {
                        state.oscBuf.clear();
                        state.parse = ParseState::osc;
                        break;
                    }
                } else if (byte == kBell && onBell) {
                    // A copy: the callback may replace or clear onBell.
                    auto bell = onBell;
                    bell(terminalID);
                }
            }
            break;
        case ParseState::escape: {
            const std::uint8_t byte = *p++;
            if (byte == ']') {
                state.oscBuf.clear();
                state.parse = ParseState::osc;
            } else if (byte == '[') {
                state.parse = ParseState::csi;
            } else {
                state.parse = ParseState::normal;
            }
            break;
        }
        case ParseState::csi:
            p = findFinalByte(p, end);
            if (p != end) {
                ++p;
                state.parse = ParseState::normal;
            }
            break;
        case ParseState::osc: {
            const std::uint8_t* stop = p;
            while (stop < end && *stop != kBell && *stop != kEscape) {
                ++stop;
            }
            const size_t room =
                maxOSCPayloadBytes - std::min(maxOSCPayloadBytes, state.oscBuf.size());
            const size_t take = std::min(room, static_cast<size_t>(stop - p));
            state.oscBuf.append(reinterpret_cast<const char*>(p), take);
            p = stop;
            if (p == end) {
                break;
            }
            if (*p++ == kBell) {
                evaluatePayload();
                state.parse = ParseState::normal;
            } else {
                state.parse = ParseState::oscEsc;
            }
            break;
        }
        case ParseState::oscEsc:
            ++p;
            evaluatePayload();
            state.parse = ParseState::normal;
            break;
        }
    }
    if (writer.finish()) {
        state.cachedNeedsInput.reset();
    }
    runScratch_ = std::move(runs);
}

void StatusMonitor::noteClosed(const UUID& terminalID) {
    states_.erase(terminalID);
}

TerminalActivity StatusMonitor::status(const UUID& terminalID, Date now) {
    const auto found = states_.find(terminalID);
    if (found == states_.end()) {
        return TerminalActivity::idle;
    }
    TermState& state = found->second;
    if (!state.lastActivity || state.commandEnded) {
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
    const std::string_view tail = state.tail;
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
    const auto found = states_.find(terminalID);
    if (found == states_.end()) {
        return std::nullopt;
    }
    return std::string_view(found->second.tail);
}

} // namespace OrvexCore
