// The attach frame stream on any bytes, from either side. Decoding must not depend on how the
// bytes are split into chunks, must never hold more than one frame, and must stop for good at
// the first broken header. Every frame whose payload parses must encode back to a frame that
// parses to the same message.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "OrvexServer/AttachFrame.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

namespace F = OrvexServer::AttachFrame;

namespace {

/// A small limit, so that inputs of a few hundred bytes reach the oversized-frame refusal.
constexpr std::size_t payloadLimit = 512;

struct Decoded {
    std::vector<F::Frame> frames;
    bool broken = false;
};

Decoded decode(F::Direction direction, std::string_view bytes, OrvexFuzz::FuzzInput& splits) {
    F::Decoder decoder(direction, payloadLimit);
    Decoded result;
    while (!bytes.empty()) {
        const std::size_t length = splits.rest().empty() ? bytes.size() : 1 + splits.byte() % 64;
        const auto chunk = bytes.substr(0, length);
        bytes.remove_prefix(chunk.size());
        if (!decoder.feed(chunk, result.frames)) {
            FUZZ_CHECK(decoder.error().has_value());
            // A broken stream stays broken: nothing after it is decoded.
            const auto count = result.frames.size();
            FUZZ_CHECK(!decoder.feed("\x04\0\0\0\0", result.frames));
            FUZZ_CHECK(result.frames.size() == count);
            result.broken = true;
            break;
        }
        FUZZ_CHECK(decoder.buffered() <= F::headerSize + payloadLimit);
    }
    return result;
}

template <class Message, class Parse>
void checkRoundTrip(F::Direction direction, const F::Frame& frame, Parse parse) {
    Message message;
    try {
        message = parse(frame);
    } catch (const F::ProtocolError&) {
        return;
    }
    const std::string bytes = F::encode(message);
    F::Decoder decoder(direction);
    std::vector<F::Frame> again;
    FUZZ_CHECK(decoder.feed(bytes, again));
    FUZZ_CHECK(again.size() == 1 && decoder.buffered() == 0);
    FUZZ_CHECK(parse(again[0]) == message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    const auto direction = input.byte() % 2 ? F::Direction::fromServer : F::Direction::fromClient;
    // The split points come from the front; the stream is what follows the first 0xFF byte,
    // or everything when there is none.
    const auto controls = input.takeUntil('\xff');
    const auto stream = input.rest().empty() ? controls : input.rest();

    OrvexFuzz::FuzzInput whole(nullptr, 0);
    OrvexFuzz::FuzzInput splits(reinterpret_cast<const std::uint8_t*>(controls.data()),
                                stream.data() == controls.data() ? 0 : controls.size());
    const auto once = decode(direction, stream, whole);
    const auto chunked = decode(direction, stream, splits);
    FUZZ_CHECK(once.frames == chunked.frames && once.broken == chunked.broken);

    for (const auto& frame : once.frames) {
        if (direction == F::Direction::fromClient) {
            checkRoundTrip<F::ClientMessage>(direction, frame, F::parseClient);
        } else {
            checkRoundTrip<F::ServerMessage>(direction, frame, F::parseServer);
        }
    }
    return 0;
}
