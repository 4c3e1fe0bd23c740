#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace OrvexFuzz::WebSocketFrames {

/// Separators in a fuzz input: between connections, and between a connection's HTTP bytes
/// and each of its frames.
inline constexpr char connectionSeparator = '\x1e';
inline constexpr char frameSeparator = '\x1d';

/// One frame a client sends, and what it means when it is a frame this oracle understands.
struct Frame {
    std::string bytes;
    bool understood = false;
    bool fin = true;
    int opcode = 0;
    std::string payload;
};

/// A frame from a letter and its payload, masked as a browser's: t text, b binary, f and g
/// the first part of a text or binary message, m and n a continuation (n the last), c close,
/// p ping, q pong. Any other letter sends the payload as it is, a frame of the fuzzer's own.
inline Frame fromLayout(char kind, std::string payload) {
    Frame frame;
    switch (kind) {
    case 't':
        frame = {{}, true, true, 1, {}};
        break;
    case 'b':
        frame = {{}, true, true, 2, {}};
        break;
    case 'f':
        frame = {{}, true, false, 1, {}};
        break;
    case 'g':
        frame = {{}, true, false, 2, {}};
        break;
    case 'm':
        frame = {{}, true, false, 0, {}};
        break;
    case 'n':
        frame = {{}, true, true, 0, {}};
        break;
    case 'c':
        frame = {{}, true, true, 8, {}};
        break;
    case 'p':
        frame = {{}, true, true, 9, {}};
        break;
    case 'q':
        frame = {{}, true, true, 10, {}};
        break;
    default:
        frame.bytes = std::move(payload);
        return frame;
    }
    frame.bytes.push_back(static_cast<char>((frame.fin ? 0x80 : 0) | frame.opcode));
    const std::size_t size = payload.size();
    if (size < 126) {
        frame.bytes.push_back(static_cast<char>(0x80 | size));
    } else if (size < 65536) {
        frame.bytes.push_back(static_cast<char>(0x80 | 126));
        frame.bytes.push_back(static_cast<char>(size >> 8));
        frame.bytes.push_back(static_cast<char>(size & 0xff));
    } else {
        frame.bytes.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.bytes.push_back(static_cast<char>((size >> shift) & 0xff));
        }
    }
    static constexpr unsigned char mask[4] = {0x3a, 0x91, 0x5c, 0xe7};
    frame.bytes.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < size; ++i) {
        frame.bytes.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    }
    frame.payload = std::move(payload);
    return frame;
}

struct Message {
    bool binary = false;
    std::string data;
};

/// Follows the frames a client sends as a WebSocket server must read them: the messages they
/// make, until the first frame after which the server reads no more (a close, a protocol
/// error, a message over the limit) or one whose fate this oracle does not know (a text
/// that is not plain ASCII, whose UTF-8 the server checks; a frame of the fuzzer's own).
class Assembler {
public:
    explicit Assembler(std::size_t maxMessage) : maxMessage_(maxMessage) {}

    std::optional<Message> add(const Frame& frame) {
        if (ended_) {
            return std::nullopt;
        }
        if (frame.opcode >= 8) {
            if (frame.payload.size() > 125 || frame.opcode == 8) {
                ended_ = true;
            }
            return std::nullopt;
        }
        const bool continuation = frame.opcode == 0;
        if (continuation != inMessage_) {
            ended_ = true;
            return std::nullopt;
        }
        if (!continuation) {
            current_ = {frame.opcode == 2, {}};
            inMessage_ = true;
        }
        current_.data += frame.payload;
        if (current_.data.size() > maxMessage_) {
            ended_ = true;
            return std::nullopt;
        }
        if (!current_.binary) {
            for (unsigned char c : frame.payload) {
                if (c >= 0x80) {
                    ended_ = true;
                    unknown_ = true;
                    return std::nullopt;
                }
            }
        }
        if (!frame.fin) {
            return std::nullopt;
        }
        inMessage_ = false;
        return std::move(current_);
    }

    /// Stops following: what comes next is not known.
    void giveUp() {
        unknown_ = unknown_ || !ended_;
        ended_ = true;
    }
    /// Whether the server may read messages this oracle did not follow.
    bool unknown() const { return unknown_; }

private:
    std::size_t maxMessage_;
    bool ended_ = false;
    bool unknown_ = false;
    bool inMessage_ = false;
    Message current_;
};

/// The messages in what a server wrote, and whether it wrote only well-formed frames (unmasked,
/// no reserved bits, known opcodes, continuations inside messages, short unfragmented
/// control frames, nothing after a close). The last frame may be cut short: a server drops a
/// client it gives up on at once.
struct ServerMessages {
    std::vector<Message> list;
    bool wellFormed = true;
};

inline ServerMessages serverMessages(std::string_view bytes) {
    ServerMessages result;
    std::optional<Message> current;
    bool closed = false;
    while (!bytes.empty()) {
        if (closed || bytes.size() < 2) {
            result.wellFormed = !closed;
            break;
        }
        const auto b0 = static_cast<unsigned char>(bytes[0]);
        const auto b1 = static_cast<unsigned char>(bytes[1]);
        const bool fin = b0 & 0x80;
        const int opcode = b0 & 0x0f;
        std::uint64_t size = b1 & 0x7f;
        std::size_t header = 2;
        if (size == 126 || size == 127) {
            const std::size_t width = size == 126 ? 2 : 8;
            if (bytes.size() < header + width) {
                break;
            }
            size = 0;
            for (std::size_t i = 0; i < width; ++i) {
                size = size << 8 | static_cast<unsigned char>(bytes[header + i]);
            }
            header += width;
        }
        if ((b0 & 0x70) || (b1 & 0x80) || (opcode > 2 && opcode < 8) || opcode > 10 ||
            (opcode >= 8 && (!fin || size > 125))) {
            result.wellFormed = false;
            break;
        }
        if (bytes.size() - header < size) {
            break;
        }
        const auto payload = bytes.substr(header, size);
        bytes.remove_prefix(header + size);
        if (opcode == 8) {
            closed = true;
            continue;
        }
        if (opcode >= 8) {
            continue;
        }
        if ((opcode == 0) != current.has_value()) {
            result.wellFormed = false;
            break;
        }
        if (!current) {
            current = Message{opcode == 2, {}};
        }
        current->data += payload;
        if (fin) {
            result.list.push_back(std::move(*current));
            current.reset();
        }
    }
    return result;
}

} // namespace OrvexFuzz::WebSocketFrames
