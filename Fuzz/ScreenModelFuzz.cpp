// The screen model on any output, held and read at any points. Whatever stretches of text it
// passes over, its screen (cells, pens, cursor, modes, the primary screen under an alternate
// one) must be the one libvterm shows when given every byte as it comes.
//
// Input: rows and columns (one byte each), then chunks of output, each led by a byte giving
// its length (bit 7: read the model after the chunk).

#include <cstdint>
#include <string>
#include <string_view>

#include "OrvexServer/ScreenModel.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

using OrvexServer::ScreenModel;

namespace {

/// The input's text with every byte from 0xC0 up made a wide character and continuation bytes
/// dropped. libvterm joins a combining mark to the character before it only when both come in
/// one write, so the byte-at-a-time reference cannot be compared on them.
std::string withoutCombiningMarks(std::string_view bytes) {
    std::string out;
    for (char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (value >= 0xc0) {
            out += "\xe4\xb8\xad";
        } else if (value < 0x80) {
            out += byte;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    const int rows = 1 + input.byte() % 12;
    const int cols = 1 + input.byte() % 24;
    ScreenModel held(rows, cols);
    ScreenModel eager(rows, cols);
    while (!input.rest().empty()) {
        const std::uint8_t lead = input.byte();
        // Lines come cheap in a short input: every chunk is repeated, so a few bytes make a
        // stretch long enough to scroll the screen many times.
        const std::string chunk = withoutCombiningMarks(input.take(1 + (lead & 0x3f)));
        const int repeats = (lead & 0x40) != 0 ? 3 * rows : 1;
        for (int i = 0; i < repeats; ++i) {
            held.feed(chunk);
            for (char byte : chunk) {
                eager.feed(std::string_view(&byte, 1));
                (void)eager.rows();
            }
        }
        if ((lead & 0x80) != 0) {
            FUZZ_CHECK(held.snapshot() == eager.snapshot());
        }
    }
    FUZZ_CHECK(held.snapshot() == eager.snapshot());
    FUZZ_CHECK(held.primaryCells() == eager.primaryCells());
    return 0;
}
