#include "OrvexCore/Status/StatusMonitor.hpp"

#include <algorithm>
#include <bit>
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

/// The number of set bits. Without the processor's instruction (x86-64's baseline lacks it)
/// std::popcount is a library call, and this runs once per 64 bytes of output.
inline size_t countBits(std::uint64_t x) {
#if defined(__x86_64__) && !defined(__POPCNT__)
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<size_t>((x * 0x0101010101010101u) >> 56);
#else
    return static_cast<size_t>(std::popcount(x));
#endif
}

#if defined(__x86_64__)
/// `classifyBlocks` thirty-two bytes at a time, for processors with AVX2.
[[gnu::target("avx2")]] void classifyBlocksWide(const std::uint8_t* p, size_t blocks,
                                                std::uint64_t* stops, std::uint64_t* returns,
                                                std::uint64_t* wordsWithStops) {
    const __m256i highestControl = _mm256_set1_epi8(0x1F);
    const __m256i lineFeed = _mm256_set1_epi8(static_cast<char>(kLineFeed));
    const __m256i carriageReturn = _mm256_set1_epi8(static_cast<char>(kCarriageReturn));
    for (size_t block = 0; block < blocks; ++block, p += 64) {
        std::uint64_t stopBits = 0;
        std::uint64_t returnBits = 0;
        for (unsigned half = 0; half < 2; ++half) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + half * 32));
            const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(v, highestControl), v);
            const __m256i cr = _mm256_cmpeq_epi8(v, carriageReturn);
            const __m256i kept = _mm256_or_si256(_mm256_cmpeq_epi8(v, lineFeed), cr);
            stopBits |= std::uint64_t{static_cast<std::uint32_t>(
                            _mm256_movemask_epi8(_mm256_andnot_si256(kept, control)))}
                        << (half * 32);
            returnBits |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(cr))}
                          << (half * 32);
        }
        stops[block] = stopBits;
        returns[block] = returnBits;
        if (stopBits != 0) {
            wordsWithStops[block >> 6] |= std::uint64_t{1} << (block & 63);
        }
    }
}

/// `classifyBlocks` for processors with AVX-512BW: a whole block per comparison.
[[gnu::target("avx512bw")]] void classifyBlocks512(const std::uint8_t* p, size_t blocks,
                                                   std::uint64_t* stops, std::uint64_t* returns,
                                                   std::uint64_t* wordsWithStops) {
    const __m512i highestControl = _mm512_set1_epi8(0x1F);
    const __m512i lineFeed = _mm512_set1_epi8(static_cast<char>(kLineFeed));
    const __m512i carriageReturn = _mm512_set1_epi8(static_cast<char>(kCarriageReturn));
    for (size_t block = 0; block < blocks; ++block, p += 64) {
        const __m512i v = _mm512_loadu_si512(p);
        const std::uint64_t control = _mm512_cmple_epu8_mask(v, highestControl);
        const std::uint64_t cr = _mm512_cmpeq_epi8_mask(v, carriageReturn);
        const std::uint64_t lf = _mm512_cmpeq_epi8_mask(v, lineFeed);
        const std::uint64_t stopBits = control & ~(cr | lf);
        stops[block] = stopBits;
        returns[block] = cr;
        if (stopBits != 0) {
            wordsWithStops[block >> 6] |= std::uint64_t{1} << (block & 63);
        }
    }
}

/// Copies the bytes of [from, to) that are not carriage returns to `out` (with room for 64
/// bytes past the copy), a block of the chunk's map at a time, each in one compressing store;
/// `returns` is the map's carriage returns, `base` the chunk's start. Masked loads read
/// nothing outside [from, to). Returns the end of the copy.
[[gnu::target("avx512bw,avx512vbmi2,popcnt")]] char*
compressRange(char* out, const std::uint8_t* from, const std::uint8_t* to, const std::uint8_t* base,
              const std::uint64_t* returns) {
    while (from < to) {
        const size_t at = static_cast<size_t>(from - base);
        const size_t size = std::min(static_cast<size_t>(to - from), 64 - (at & 63));
        const std::uint64_t inBlock =
            size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
        const std::uint64_t keep = inBlock & ~(returns[at >> 6] >> (at & 63));
        const __m512i bytes = _mm512_maskz_loadu_epi8(inBlock, from);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
        out += _mm_popcnt_u64(keep);
        from += size;
    }
    return out;
}

const bool hasWideVectors = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

const bool hasMaskVectors = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") != 0;
}();

const bool hasCompress = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vbmi2") != 0;
}();
#endif

/// The bytes of one chunk that matter to the scanner, one bit per byte, sixty-four bytes per
/// word: `stops` marks the C0 control bytes other than the line feed and the carriage return
/// (where a printable run ends), `returns` the carriage returns. A carriage return is dropped
/// from the tail like every other control byte, but it does not need the scanner: it stays
/// inside the run (so a CR LF line end does not split the run) and is left out when the run is
/// copied. Both sets are made in one vector pass over the chunk, so that the scanner then
/// jumps from stop to stop and the copy from return to return without looking at the bytes in
/// between again.
struct ByteMap {
    const std::uint8_t* base;
    const std::uint8_t* end;
    const std::uint64_t* stops;
    const std::uint64_t* returns;
    /// How many carriage returns lie before each word (one more entry than words).
    const std::uint64_t* returnsBefore;
    /// One bit per word of `stops`: whether it has any, so that long runs are crossed
    /// 4 KiB at a time.
    const std::uint64_t* wordsWithStops;
    size_t words;

    /// The first stop in [p, end), or `end`.
    const std::uint8_t* nextStop(const std::uint8_t* p) const {
        const size_t at = static_cast<size_t>(p - base);
        size_t word = at >> 6;
        if (word >= words) {
            return end;
        }
        const std::uint64_t bits = stops[word] & (~std::uint64_t{0} << (at & 63));
        if (bits != 0) {
            return base + (word << 6) + static_cast<size_t>(std::countr_zero(bits));
        }
        for (++word; word < words; word = (word | 63) + 1) {
            const std::uint64_t summary =
                wordsWithStops[word >> 6] & (~std::uint64_t{0} << (word & 63));
            if (summary != 0) {
                word = (word & ~size_t{63}) + static_cast<size_t>(std::countr_zero(summary));
                return base + (word << 6) + static_cast<size_t>(std::countr_zero(stops[word]));
            }
        }
        return end;
    }

    /// The number of carriage returns in [from, to).
    size_t returnsIn(const std::uint8_t* from, const std::uint8_t* to) const {
        const size_t first = static_cast<size_t>(from - base);
        const size_t last = static_cast<size_t>(to - base); // one past
        if (first >= last) {
            return 0;
        }
        const size_t firstWord = first >> 6;
        const size_t lastWord = (last - 1) >> 6;
        const std::uint64_t ahead = returns[firstWord] & ~(~std::uint64_t{0} << (first & 63));
        const std::uint64_t behind =
            returns[lastWord] & ~(~std::uint64_t{0} >> (63 - ((last - 1) & 63)));
        return static_cast<size_t>(returnsBefore[lastWord + 1] - returnsBefore[firstWord]) -
               countBits(ahead) - countBits(behind);
    }

    /// Copies the bytes of [from, to) that are not carriage returns to `out`, leaving out the
    /// first `skip` of them; returns the end of the copy. It may write up to 64 bytes past
    /// that end (the caller leaves room) and reads past `to` only inside the chunk. The copy
    /// goes 64 bytes at a time, each block in one piece, or in one piece per carriage return.
    char* copyKept(char* out, const std::uint8_t* from, const std::uint8_t* to, size_t skip) const {
        while (from < to) {
            const size_t at = static_cast<size_t>(from - base);
            const size_t word = at >> 6;
            const std::uint8_t* const blockEnd = std::min(to, base + ((word + 1) << 6));
            const size_t size = static_cast<size_t>(blockEnd - from);
            std::uint64_t bits = returns[word] >> (at & 63);
            if (size < 64) {
                bits &= (std::uint64_t{1} << size) - 1;
            }
            if (skip > 0) {
                const size_t kept = size - countBits(bits);
                if (skip >= kept) {
                    skip -= kept;
                    from = blockEnd;
                    continue;
                }
                for (; skip > 0; ++from) {
                    skip -= *from != kCarriageReturn;
                }
                continue; // the rest of the block, from its new start
            }
#if defined(__x86_64__)
            if (hasCompress) {
                return compressRange(out, from, to, base, returns);
            }
#endif
            while (bits != 0) {
                const auto before = static_cast<size_t>(std::countr_zero(bits));
                out = copyBlock(out, from, before);
                from += before + 1;
                bits = before + 1 == 64 ? 0 : bits >> (before + 1);
            }
            out = copyBlock(out, from, static_cast<size_t>(blockEnd - from));
            from = blockEnd;
        }
        return out;
    }

    /// Copies `size` (at most 64) bytes from `from` to `out`: whole 64 bytes when the chunk
    /// has them, so that short pieces cost no call. Returns the end of the copy.
    char* copyBlock(char* out, const std::uint8_t* from, size_t size) const {
#if defined(__SSE2__)
        if (end - from >= 64) {
            __builtin_memcpy(out, from, 64);
            return out + size;
        }
#endif
        std::memcpy(out, from, size);
        return out + size;
    }
};

/// Fills `stops` and `returns` (see ByteMap) for the whole 64-byte blocks of [p, p + blocks * 64).
void classifyBlocks(const std::uint8_t* p, size_t blocks, std::uint64_t* stops,
                    std::uint64_t* returns, std::uint64_t* wordsWithStops) {
#if defined(__SSE2__)
    const __m128i highestControl = _mm_set1_epi8(0x1F);
    const __m128i lineFeed = _mm_set1_epi8(static_cast<char>(kLineFeed));
    const __m128i carriageReturn = _mm_set1_epi8(static_cast<char>(kCarriageReturn));
    for (size_t block = 0; block < blocks; ++block, p += 64) {
        std::uint64_t stopBits = 0;
        std::uint64_t returnBits = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + lane * 16));
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, highestControl), v);
            const __m128i cr = _mm_cmpeq_epi8(v, carriageReturn);
            const __m128i kept = _mm_or_si128(_mm_cmpeq_epi8(v, lineFeed), cr);
            stopBits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(
                            _mm_movemask_epi8(_mm_andnot_si128(kept, control))))
                        << (lane * 16);
            returnBits |=
                static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(cr)))
                << (lane * 16);
        }
        stops[block] = stopBits;
        returns[block] = returnBits;
        if (stopBits != 0) {
            wordsWithStops[block >> 6] |= std::uint64_t{1} << (block & 63);
        }
    }
#else
    for (size_t block = 0; block < blocks; ++block, p += 64) {
        std::uint64_t stopBits = 0;
        std::uint64_t returnBits = 0;
        for (unsigned i = 0; i < 64; ++i) {
            stopBits |= std::uint64_t{p[i] < 0x20 && p[i] != kLineFeed && p[i] != kCarriageReturn}
                        << i;
            returnBits |= std::uint64_t{p[i] == kCarriageReturn} << i;
        }
        stops[block] = stopBits;
        returns[block] = returnBits;
        if (stopBits != 0) {
            wordsWithStops[block >> 6] |= std::uint64_t{1} << (block & 63);
        }
    }
#endif
}

/// Fills `before[i]` with the number of carriage returns in the words before word `i`.
void countReturnsPortably(const std::uint64_t* returns, size_t words, std::uint64_t* before) {
    before[0] = 0;
    for (size_t word = 0; word < words; ++word) {
        before[word + 1] = before[word] + countBits(returns[word]);
    }
}

#if defined(__x86_64__)
[[gnu::target("popcnt")]] void countReturnsFast(const std::uint64_t* returns, size_t words,
                                                std::uint64_t* before) {
    before[0] = 0;
    for (size_t word = 0; word < words; ++word) {
        before[word + 1] = before[word] + static_cast<std::uint64_t>(_mm_popcnt_u64(returns[word]));
    }
}

const bool hasPopcount = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") != 0;
}();
#endif

void countReturns(const std::uint64_t* returns, size_t words, std::uint64_t* before) {
#if defined(__x86_64__)
    if (hasPopcount) {
        countReturnsFast(returns, words, before);
        return;
    }
#endif
    countReturnsPortably(returns, words, before);
}

/// Fills `bits` with the chunk's map (see ByteMap) and returns it.
ByteMap classify(std::span<const std::uint8_t> chunk, std::vector<std::uint64_t>& bits) {
    const size_t words = (chunk.size() + 63) / 64;
    bits.resize(3 * words + 1 + (words + 63) / 64);
    std::uint64_t* const stops = bits.data();
    std::uint64_t* const returns = stops + words;
    std::uint64_t* const returnsBefore = returns + words;
    std::uint64_t* const wordsWithStops = returnsBefore + words + 1;
    const size_t whole = chunk.size() / 64;
    std::fill(wordsWithStops, wordsWithStops + (words + 63) / 64, 0);
#if defined(__x86_64__)
    if (hasMaskVectors) {
        classifyBlocks512(chunk.data(), whole, stops, returns, wordsWithStops);
    } else if (hasWideVectors) {
        classifyBlocksWide(chunk.data(), whole, stops, returns, wordsWithStops);
    } else {
        classifyBlocks(chunk.data(), whole, stops, returns, wordsWithStops);
    }
#else
    classifyBlocks(chunk.data(), whole, stops, returns, wordsWithStops);
#endif
    if (whole < words) {
        std::uint64_t stopBits = 0;
        std::uint64_t returnBits = 0;
        const std::uint8_t* p = chunk.data() + whole * 64;
        for (unsigned i = 0; i < chunk.size() % 64; ++i) {
            stopBits |= std::uint64_t{p[i] < 0x20 && p[i] != kLineFeed && p[i] != kCarriageReturn}
                        << i;
            returnBits |= std::uint64_t{p[i] == kCarriageReturn} << i;
        }
        stops[whole] = stopBits;
        returns[whole] = returnBits;
        wordsWithStops[whole >> 6] |= std::uint64_t{stopBits != 0} << (whole & 63);
    }
    countReturns(returns, words, returnsBefore);
    return ByteMap{
        chunk.data(), chunk.data() + chunk.size(), stops, returns, returnsBefore, wordsWithStops,
        words};
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
    const ByteMap& map;
    const size_t limit;
    size_t kept = 0;

    /// Room past the end of a copy that `ByteMap::copyKept` may write into.
    static constexpr size_t slack = 64;

    void add(const std::uint8_t* data, size_t size, size_t carriageReturns) {
        runs.push_back(Run{data, size, carriageReturns});
        kept += size - carriageReturns;
    }

    /// Writes the last `last` kept bytes of `run` (all but its carriage returns) at `out`;
    /// returns the end of what was written.
    char* copy(char* out, const Run& run, size_t last) const {
        return map.copyKept(out, run.data, run.data + run.size,
                            run.size - run.carriageReturns - last);
    }

    /// Appends the runs from `first` on, the first of them only for its last `fromFirst`
    /// kept bytes, sizing the tail once.
    void appendRuns(size_t first, size_t fromFirst, size_t total) {
        const size_t at = tail.size();
        tail.resize(at + total + slack);
        char* out = tail.data() + at;
        out = copy(out, runs[first], fromFirst);
        for (size_t index = first + 1; index < runs.size(); ++index) {
            out = copy(out, runs[index], runs[index].size - runs[index].carriageReturns);
        }
        tail.resize(at + total);
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
    // The runs and the chunk's byte map live in buffers reused from chunk to chunk; they are
    // taken out of the monitor meanwhile, so that a bell callback feeding the monitor again
    // gets buffers of its own.
    Scratch scratch = std::move(scratch_);
    std::vector<Run>& runs = scratch.runs;
    runs.clear();
    const ByteMap map = classify(bytes, scratch.bits);
    TailWriter writer{state.tail, runs, map, static_cast<size_t>(config_.maxTailBytes)};
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
                const std::uint8_t* control = map.nextStop(p);
                if (control != p) {
                    writer.add(p, static_cast<size_t>(control - p), map.returnsIn(p, control));
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
    // A chunk far larger than a pseudo-terminal delivers should not pin its map for good.
    if (scratch.bits.capacity() > maxKeptScratchWords) {
        scratch.bits = {};
    }
    scratch_ = std::move(scratch);
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
