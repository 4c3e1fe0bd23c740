#include "OrvexCore/Status/OutputScanner.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace OrvexCore {

namespace {

using Parse = OutputScanner::Parse;

constexpr std::uint8_t kBell = 0x07;
constexpr std::uint8_t kEscape = 0x1B;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kCarriageReturn = 0x0D;

/// The bits of a block from `position` on; none from 64 on.
inline std::uint64_t bitsFrom(unsigned position) {
    return position < 64 ? ~std::uint64_t{0} << position : 0;
}

/// The bits of a block in [first, last).
inline std::uint64_t bitsBetween(unsigned first, unsigned last) {
    return bitsFrom(first) & ~bitsFrom(last);
}

/// What one vector of bytes holds, one bit per byte: control bytes (below 0x20), carriage
/// returns and line feeds.
struct LaneBits {
    std::uint64_t control;
    std::uint64_t returns;
    std::uint64_t lineFeeds;
};

// A "lanes" type reads `width` bytes at a time: `read` gives their LaneBits, `finals` the
// bytes that end a control sequence (0x40 to 0x7E); `compresses` says whether it has
// `compress`, which stores the bytes of a 64-byte block chosen by a bit mask side by side.
// Functions take and return no vectors, so that none crosses into code built for fewer
// instructions; each kernel below is compiled whole, everything inlined, for its own set.

/// One byte at a time, for processors without the vector instructions below.
struct PortableLanes {
    static constexpr unsigned width = 64;
    static constexpr bool compresses = false;

    static LaneBits read(const std::uint8_t* p) {
        LaneBits bits{0, 0, 0};
        for (unsigned i = 0; i < 64; ++i) {
            bits.control |= std::uint64_t{p[i] < 0x20} << i;
            bits.returns |= std::uint64_t{p[i] == kCarriageReturn} << i;
            bits.lineFeeds |= std::uint64_t{p[i] == kLineFeed} << i;
        }
        return bits;
    }

    static std::uint64_t finals(const std::uint8_t* p) {
        std::uint64_t bits = 0;
        for (unsigned i = 0; i < 64; ++i) {
            bits |= std::uint64_t{p[i] >= 0x40 && p[i] <= 0x7E} << i;
        }
        return bits;
    }
};

#if defined(__x86_64__)
/// Sixteen bytes at a time (every x86-64 processor has SSE2).
struct Sse2Lanes {
    static constexpr unsigned width = 16;
    static constexpr bool compresses = false;

    static std::uint64_t bits(__m128i mask) {
        return static_cast<std::uint16_t>(_mm_movemask_epi8(mask));
    }

    static LaneBits read(const std::uint8_t* p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return {bits(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v)),
                bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(kCarriageReturn))),
                bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(kLineFeed)))};
    }

    static std::uint64_t finals(const std::uint8_t* p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return bits(_mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x40)), v),
                                  _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x7E)), v)));
    }
};

/// Thirty-two bytes at a time.
struct Avx2Lanes {
    static constexpr unsigned width = 32;
    static constexpr bool compresses = false;

    [[gnu::target("avx2")]] static std::uint64_t bits(__m256i mask) {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(mask));
    }

    [[gnu::target("avx2")]] static LaneBits read(const std::uint8_t* p) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return {bits(_mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v)),
                bits(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kCarriageReturn))),
                bits(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kLineFeed)))};
    }

    [[gnu::target("avx2")]] static std::uint64_t finals(const std::uint8_t* p) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return bits(
            _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(v, _mm256_set1_epi8(0x40)), v),
                             _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x7E)), v)));
    }
};

/// A whole block per comparison, and the kept bytes stored with one compressing store.
struct Avx512Lanes {
    static constexpr unsigned width = 64;
    static constexpr bool compresses = true;

    [[gnu::target("avx512bw")]] static LaneBits read(const std::uint8_t* p) {
        const __m512i v = _mm512_loadu_si512(p);
        return {_mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F)),
                _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(kCarriageReturn)),
                _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(kLineFeed))};
    }

    [[gnu::target("avx512bw")]] static std::uint64_t finals(const std::uint8_t* p) {
        const __m512i v = _mm512_loadu_si512(p);
        return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(0x40)),
                                      _mm512_set1_epi8(0x7E - 0x40));
    }

    [[gnu::target("avx512bw,avx512vbmi2,popcnt")]] static char*
    compress(char* out, const std::uint8_t* p, std::uint64_t keep) {
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, _mm512_loadu_si512(p)));
        return out + _mm_popcnt_u64(keep);
    }
};
#endif

/// A 64-byte block's bytes that need the scanner (C0 controls other than line feeds and
/// carriage returns) and its carriage returns (dropped, but they need no scanner).
struct Block {
    std::uint64_t stops;
    std::uint64_t returns;
};

template <class Lanes> Block classify(const std::uint8_t* p) {
    Block block{0, 0};
    for (unsigned at = 0; at < 64; at += Lanes::width) {
        const LaneBits bits = Lanes::read(p + at);
        block.stops |= (bits.control & ~(bits.returns | bits.lineFeeds)) << at;
        block.returns |= bits.returns << at;
    }
    return block;
}

template <class Lanes> std::uint64_t finalBytes(const std::uint8_t* p) {
    std::uint64_t finals = 0;
    for (unsigned at = 0; at < 64; at += Lanes::width) {
        finals |= Lanes::finals(p + at) << at;
    }
    return finals;
}

/// Writes the bytes of the block at `p` chosen by `keep` side by side at `out` and returns
/// the end of them; writes up to 64 bytes past that end. `readable` bytes from `p` (at least
/// 64) may be read.
template <class Lanes>
char* copyKept(char* out, const std::uint8_t* p, std::uint64_t keep, std::size_t readable) {
    if constexpr (Lanes::compresses) {
        return Lanes::compress(out, p, keep);
    } else {
        if (keep == ~std::uint64_t{0}) {
            std::memcpy(out, p, 64);
            return out + 64;
        }
        // One fixed-size copy per run of kept bytes: the bytes it copies past the run are
        // overwritten by the next run or lie past the end.
        while (keep != 0) {
            const auto first = static_cast<unsigned>(std::countr_zero(keep));
            const auto length = static_cast<unsigned>(std::countr_one(keep >> first));
            if (first + 64 <= readable) {
                std::memcpy(out, p + first, 64);
            } else {
                std::memcpy(out, p + first, length);
            }
            out += length;
            keep &= bitsFrom(first + length);
        }
        return out;
    }
}

// The rare steps, kept out of line so that the kernels stay small.

[[gnu::noinline]] void appendPayload(std::string& payload, const std::uint8_t* p,
                                     std::size_t size) {
    const std::size_t room =
        OutputScanner::maxPayloadBytes - std::min(OutputScanner::maxPayloadBytes, payload.size());
    payload.append(reinterpret_cast<const char*>(p), std::min(room, size));
}

[[gnu::noinline]] void evaluatePayload(OutputScanner& scanner) {
    const std::string& payload = scanner.payload;
    // The payload is ASCII up to the byte looked at, so testing bytes is the same as testing
    // the decoded text: an invalid byte would decode to U+FFFD, never to these.
    if (payload.size() >= 5 && payload.compare(0, 4, "133;") == 0) {
        if (payload[4] == 'C') {
            scanner.commandEnded = false;
        } else if (payload[4] == 'D') {
            scanner.commandEnded = true;
        }
    }
}

/// The byte-level state machine over one block that holds control bytes or continues an
/// escape sequence: walks from control byte to control byte through the first `length`
/// bytes of the block at `p`, whose controls are `stops` and whose control-sequence final
/// bytes are `finals`. Returns `keep` (the block's printable bytes and line feeds) without
/// the bytes that belong to escape sequences. Out of line and shared by the kernels: plain
/// text never comes here, and the kernels' loops stay small enough to keep their state in
/// registers.
[[gnu::noinline]] std::uint64_t walkBlock(OutputScanner& scanner, OutputScanner::Bell bell,
                                          const std::uint8_t* p, unsigned length,
                                          std::uint64_t stops, std::uint64_t finals,
                                          std::uint64_t keep) {
    Parse parse = scanner.parse;
    unsigned at = 0;
    while (at < length) {
        switch (parse) {
        case Parse::normal: {
            const std::uint64_t next = stops & bitsFrom(at);
            if (next == 0) {
                at = length;
                break;
            }
            at = static_cast<unsigned>(std::countr_zero(next));
            const std::uint8_t byte = p[at++];
            if (byte == kEscape) {
                parse = Parse::escape;
            } else if (byte == kBell && bell.ring != nullptr) {
                bell.ring(bell.context);
            }
            break;
        }
        case Parse::escape: {
            const std::uint8_t byte = p[at];
            keep &= ~(std::uint64_t{1} << at);
            ++at;
            if (byte == '[') {
                parse = Parse::csi;
            } else if (byte == ']') {
                scanner.payload.clear();
                parse = Parse::osc;
            } else {
                parse = Parse::normal;
            }
            break;
        }
        case Parse::csi: {
            const std::uint64_t next = finals & bitsFrom(at);
            const unsigned stop =
                next == 0 ? length : static_cast<unsigned>(std::countr_zero(next)) + 1;
            keep &= ~bitsBetween(at, stop);
            at = stop;
            if (next != 0) {
                parse = Parse::normal;
            }
            break;
        }
        case Parse::osc: {
            // Other control bytes belong to the payload; a bell or an escape ends it.
            unsigned stop = length;
            for (std::uint64_t next = stops & bitsFrom(at); next != 0; next &= next - 1) {
                const auto candidate = static_cast<unsigned>(std::countr_zero(next));
                if (p[candidate] == kBell || p[candidate] == kEscape) {
                    stop = candidate;
                    break;
                }
            }
            appendPayload(scanner.payload, p + at, stop - at);
            keep &= ~bitsBetween(at, stop + 1);
            if (stop == length) {
                at = length;
                break;
            }
            at = stop + 1;
            if (p[stop] == kBell) {
                evaluatePayload(scanner);
                parse = Parse::normal;
            } else {
                parse = Parse::oscEsc;
            }
            break;
        }
        case Parse::oscEsc:
            keep &= ~(std::uint64_t{1} << at);
            ++at;
            evaluatePayload(scanner);
            parse = Parse::normal;
            break;
        }
    }
    scanner.parse = parse;
    return keep;
}

/// Which of the first `length` bytes of the block at `p` go to the tail.
template <class Lanes>
std::uint64_t keptBytes(OutputScanner& scanner, OutputScanner::Bell bell, const std::uint8_t* p,
                        unsigned length) {
    const Block bits = classify<Lanes>(p);
    const std::uint64_t valid = length == 64 ? ~std::uint64_t{0} : bitsBetween(0, length);
    const std::uint64_t stops = bits.stops & valid;
    const std::uint64_t keep = valid & ~(stops | bits.returns);
    if (stops != 0 || scanner.parse != Parse::normal) {
        return walkBlock(scanner, bell, p, length, stops, finalBytes<Lanes>(p) & valid, keep);
    }
    return keep;
}

/// Takes the control sequences out of `keep` in a block in which every control byte other
/// than a line end starts a control sequence that ends in the block ("ESC [ 0 1 ; 3 4 m":
/// colours and cursor moves, most of what programs send besides text). False for any other
/// block, which needs the byte-level walk.
template <class Lanes>
bool dropColours(const std::uint8_t* p, std::uint64_t stops, std::uint64_t& keep) {
    const std::uint64_t finals = finalBytes<Lanes>(p);
    while (stops != 0) {
        const auto at = static_cast<unsigned>(std::countr_zero(stops));
        if (at > 61 || p[at] != kEscape || p[at + 1] != '[') {
            return false;
        }
        const std::uint64_t next = finals & bitsFrom(at + 2);
        if (next == 0) {
            return false;
        }
        const auto last = static_cast<unsigned>(std::countr_zero(next));
        // Everything up to the final byte belongs to the sequence, control bytes included.
        keep &= ~bitsBetween(at, last + 1);
        stops &= bitsFrom(last + 1);
    }
    return true;
}

/// Copies the blocks from `p` on straight into the tail for as long as they hold no control
/// bytes but line ends and the tail needs neither a wrap round its ring's end nor a cut;
/// returns the first block not copied. Plain text spends its time here: a loop without calls,
/// so that it keeps its constants and the cursor in registers.
template <class Lanes>
const std::uint8_t* copyPlainBlocks(const std::uint8_t* p, const std::uint8_t* end,
                                    OutputTail::Cursor& cursor) {
    // Locals: the tail's stores could otherwise alias the cursor.
    char* out = cursor.out;
    std::size_t live = cursor.live;
    bool cut = cursor.cut;
    const char* const lastOut = cursor.ringEnd - 64;
    const std::size_t limit = cursor.limit;
    const std::size_t twice = 2 * limit;
    // Once the ring holds twice the limit and room to write (it soon does), the text is cut
    // here, as the tail would; before that the tail grows the ring.
    const bool ringFits = cursor.attention == twice;
    for (; end - p >= 64; p += 64) {
        const Block bits = classify<Lanes>(p);
        if (out > lastOut || (!ringFits && cursor.attention - live < 64)) {
            break;
        }
        std::uint64_t keep = ~bits.returns;
        if (bits.stops != 0 && !dropColours<Lanes>(p, bits.stops, keep)) {
            break;
        }
        char* const next = copyKept<Lanes>(out, p, keep, static_cast<std::size_t>(end - p));
        live += static_cast<std::size_t>(next - out);
        out = next;
        if (live > twice) {
            live = limit;
            cut = true;
        }
    }
    cursor.cut = cut;
    cursor.out = out;
    cursor.live = live;
    return p;
}

using CopyPlainBlocks = const std::uint8_t* (*)(const std::uint8_t*, const std::uint8_t*,
                                                OutputTail::Cursor&);

template <class Lanes, CopyPlainBlocks copyPlain>
bool scanWith(OutputScanner& scanner, std::span<const std::uint8_t> chunk, std::size_t tailLimit,
              OutputScanner::Bell bell) {
    OutputTail& tail = scanner.tail;
    OutputTail::Cursor cursor = tail.startChunk(tailLimit);
    const std::uint8_t* p = chunk.data();
    const std::uint8_t* const end = p + chunk.size();
    while (end - p >= 64) {
        if (scanner.parse == Parse::normal) {
            p = copyPlain(p, end, cursor);
            if (end - p < 64) {
                break;
            }
        }
        // A block with controls or inside a sequence, or one that wraps or cuts the tail.
        const std::uint64_t keep = keptBytes<Lanes>(scanner, bell, p, 64);
        tail.advance(cursor,
                     copyKept<Lanes>(cursor.out, p, keep, static_cast<std::size_t>(end - p)));
        p += 64;
    }
    if (p != end) {
        // The last bytes, in a block of their own so that whole vectors can be read.
        alignas(64) std::uint8_t last[128] = {};
        const auto length = static_cast<unsigned>(end - p);
        std::memcpy(last, p, length);
        const std::uint64_t keep = keptBytes<Lanes>(scanner, bell, last, length);
        tail.advance(cursor, copyKept<Lanes>(cursor.out, last, keep, sizeof last));
    }
    return tail.finishChunk(cursor);
}

// Each kernel is two functions compiled for its instructions, everything in them inlined:
// the plain-text loop and the scan around it.

[[gnu::flatten, gnu::noinline]] const std::uint8_t*
copyPlainPortable(const std::uint8_t* p, const std::uint8_t* end, OutputTail::Cursor& cursor) {
    return copyPlainBlocks<PortableLanes>(p, end, cursor);
}

[[gnu::flatten]] bool scanPortable(OutputScanner& scanner, std::span<const std::uint8_t> chunk,
                                   std::size_t tailLimit, OutputScanner::Bell bell) {
    return scanWith<PortableLanes, copyPlainPortable>(scanner, chunk, tailLimit, bell);
}

#if defined(__x86_64__)
[[gnu::flatten, gnu::noinline]] const std::uint8_t*
copyPlainSse2(const std::uint8_t* p, const std::uint8_t* end, OutputTail::Cursor& cursor) {
    return copyPlainBlocks<Sse2Lanes>(p, end, cursor);
}

[[gnu::flatten]] bool scanSse2(OutputScanner& scanner, std::span<const std::uint8_t> chunk,
                               std::size_t tailLimit, OutputScanner::Bell bell) {
    return scanWith<Sse2Lanes, copyPlainSse2>(scanner, chunk, tailLimit, bell);
}

[[gnu::target("avx2"), gnu::flatten, gnu::noinline]] const std::uint8_t*
copyPlainAvx2(const std::uint8_t* p, const std::uint8_t* end, OutputTail::Cursor& cursor) {
    return copyPlainBlocks<Avx2Lanes>(p, end, cursor);
}

[[gnu::target("avx2"), gnu::flatten]] bool scanAvx2(OutputScanner& scanner,
                                                    std::span<const std::uint8_t> chunk,
                                                    std::size_t tailLimit,
                                                    OutputScanner::Bell bell) {
    return scanWith<Avx2Lanes, copyPlainAvx2>(scanner, chunk, tailLimit, bell);
}

#define ORVEX_AVX512_SCAN "avx512bw,avx512vbmi2,popcnt,bmi"

[[gnu::target(ORVEX_AVX512_SCAN), gnu::flatten, gnu::noinline]] const std::uint8_t*
copyPlainAvx512(const std::uint8_t* p, const std::uint8_t* end, OutputTail::Cursor& cursor) {
    return copyPlainBlocks<Avx512Lanes>(p, end, cursor);
}

[[gnu::target(ORVEX_AVX512_SCAN), gnu::flatten]] bool
scanAvx512(OutputScanner& scanner, std::span<const std::uint8_t> chunk, std::size_t tailLimit,
           OutputScanner::Bell bell) {
    return scanWith<Avx512Lanes, copyPlainAvx512>(scanner, chunk, tailLimit, bell);
}
#endif

using ScanFunction = bool (*)(OutputScanner&, std::span<const std::uint8_t>, std::size_t,
                              OutputScanner::Bell);

/// The kernel's function, or null when the processor lacks its instructions.
ScanFunction kernelFunction(OutputScanner::Kernel kernel) {
    switch (kernel) {
    case OutputScanner::Kernel::portable:
        return scanPortable;
#if defined(__x86_64__)
    case OutputScanner::Kernel::sse2:
        return scanSse2;
    case OutputScanner::Kernel::avx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 ? scanAvx2 : nullptr;
    case OutputScanner::Kernel::avx512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw") != 0 &&
                       __builtin_cpu_supports("avx512vbmi2") != 0 &&
                       __builtin_cpu_supports("popcnt") != 0 && __builtin_cpu_supports("bmi") != 0
                   ? scanAvx512
                   : nullptr;
#endif
    default:
        return nullptr;
    }
}

/// The fastest kernel this processor runs.
OutputScanner::Kernel fastestKernel() {
    static const OutputScanner::Kernel fastest = [] {
        for (auto kernel : {OutputScanner::Kernel::avx512, OutputScanner::Kernel::avx2,
                            OutputScanner::Kernel::sse2}) {
            if (kernelFunction(kernel) != nullptr) {
                return kernel;
            }
        }
        return OutputScanner::Kernel::portable;
    }();
    return fastest;
}

} // namespace

bool OutputScanner::scan(std::span<const std::uint8_t> chunk, std::size_t tailLimit, Bell bell) {
    static const ScanFunction fastest = kernelFunction(fastestKernel());
    return fastest(*this, chunk, tailLimit, bell);
}

bool OutputScanner::scan(std::span<const std::uint8_t> chunk, std::size_t tailLimit, Bell bell,
                         Kernel kernel) {
    const ScanFunction function = kernelFunction(kernel);
    return (function != nullptr ? function : scanPortable)(*this, chunk, tailLimit, bell);
}

OutputScanner::Kernel OutputScanner::best() noexcept {
    return fastestKernel();
}

std::vector<OutputScanner::Kernel> OutputScanner::kernels() {
    std::vector<Kernel> all;
    for (auto kernel : {Kernel::portable, Kernel::sse2, Kernel::avx2, Kernel::avx512}) {
        if (kernelFunction(kernel) != nullptr) {
            all.push_back(kernel);
        }
    }
    return all;
}

} // namespace OrvexCore
