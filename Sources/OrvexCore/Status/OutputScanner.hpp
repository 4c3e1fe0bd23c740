#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "OrvexCore/Status/OutputTail.hpp"

namespace OrvexCore {

/// The escape-stripping byte scanner behind StatusMonitor, with one terminal's scan state.
///
/// Plain output keeps line feeds and the bytes 0x20 to 0xFF; every other C0 control byte is
/// dropped, a bell rings, an escape starts a sequence: "ESC [" a control sequence up to its
/// final byte (0x40 to 0x7E), "ESC ]" an operating-system command up to a bell or the byte
/// after an escape, any other byte after an escape is swallowed alone. The payload of an
/// operating-system command is checked for the shell-integration marks "133;C" (a command
/// started) and "133;D" (a command finished). The state carries over from chunk to chunk.
///
/// A chunk is read once, 64 bytes at a time: one vector pass per block finds its control
/// bytes and carriage returns, a block without control bytes other than line ends goes
/// straight into the tail, and only blocks with escapes, bells or other controls are walked
/// byte by byte from one control to the next.
class OutputScanner {
public:
    enum class Parse : std::uint8_t { normal, escape, csi, osc, oscEsc };

    /// The instructions a scan uses. Every kernel gives the same result; `best()` is the
    /// fastest the processor has.
    enum class Kernel : std::uint8_t { portable, sse2, avx2, avx512 };

    /// Called once per bell in plain output, from inside `scan`.
    struct Bell {
        void (*ring)(void* context) = nullptr;
        void* context = nullptr;
    };

    /// Longest operating-system command payload kept; the marks need only its first bytes.
    static constexpr std::size_t maxPayloadBytes = 4096;

    Parse parse = Parse::normal;
    /// True after a command-finished mark, false again after a command-started mark.
    bool commandEnded = false;
    /// Payload of the operating-system command being read (or last read).
    std::string payload;
    /// Printable output and line feeds, cut back to the limit once past twice the limit
    /// after a chunk.
    OutputTail tail;

    /// Scans one chunk with the best kernel; true when bytes were added to the tail.
    bool scan(std::span<const std::uint8_t> chunk, std::size_t tailLimit, Bell bell);
    /// The same with a given kernel; one the processor cannot run falls back to `portable`.
    bool scan(std::span<const std::uint8_t> chunk, std::size_t tailLimit, Bell bell, Kernel kernel);

    static Kernel best() noexcept;
    /// The kernels this processor can run, `portable` first.
    static std::vector<Kernel> kernels();
};

} // namespace OrvexCore
