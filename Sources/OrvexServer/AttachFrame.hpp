#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

/// The frames an attached connection speaks once an `attach` request has succeeded: each is
/// one type byte, a 4-byte big-endian payload length and the payload, so terminal bytes are
/// carried as they are and never read as text lines. docs/attach-frames.md is the reference.
namespace OrvexServer::AttachFrame {

/// The type byte. Client frames have the high bit clear, server frames have it set.
enum class Type : std::uint8_t {
    input = 0x01,
    resize = 0x02,
    switchTerminal = 0x03,
    detach = 0x04,
    output = 0x81,
    redraw = 0x82,
    status = 0x83,
    exited = 0x84,
    detached = 0x85,
};

/// Which side's frames a decoder accepts.
enum class Direction { fromClient, fromServer };

constexpr std::size_t headerSize = 5;
/// The longest payload either side may send; a longer one breaks the connection.
constexpr std::size_t maxPayload = 1 << 20;
/// Titles in a status frame are cut to this many bytes (at a character boundary).
constexpr std::size_t maxTitleBytes = 1024;

/// A frame or its payload that breaks the format. The connection that sent it is closed.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One frame as it travels: its type and its undecoded payload.
struct Frame {
    Type type{};
    std::string payload;
    friend bool operator==(const Frame&, const Frame&) = default;
};

// Client to server.

/// Bytes the user typed, for the terminal on screen.
struct Input {
    std::string bytes;
    friend bool operator==(const Input&, const Input&) = default;
};
/// The size the programs should have (the client's window without its status row).
struct Resize {
    std::uint16_t rows = 0;
    std::uint16_t cols = 0;
    friend bool operator==(const Resize&, const Resize&) = default;
};
/// Show another terminal of the grid: the next, the previous, or the one at `index`
/// (0-based, in the grid's reading order).
struct SwitchTerminal {
    enum class Kind : std::uint8_t { next = 0, previous = 1, index = 2 };
    Kind kind = Kind::next;
    std::uint16_t index = 0;
    friend bool operator==(const SwitchTerminal&, const SwitchTerminal&) = default;
};
/// The client leaves; the programs keep running.
struct Detach {
    friend bool operator==(const Detach&, const Detach&) = default;
};

// Server to client.

/// Bytes the terminal on screen wrote.
struct Output {
    std::string bytes;
    friend bool operator==(const Output&, const Output&) = default;
};
/// Bytes that repaint the whole screen of the terminal now on screen, drawn for `rows` by
/// `cols`; sent on attach and on every switch.
struct Redraw {
    std::uint16_t rows = 0;
    std::uint16_t cols = 0;
    std::string bytes;
    friend bool operator==(const Redraw&, const Redraw&) = default;
};
/// Every terminal of the grid, in reading order, and which one is on screen.
struct Status {
    enum class State : std::uint8_t { idle = 0, working = 1, needsInput = 2, exited = 3 };
    struct Terminal {
        std::string title;
        State state = State::idle;
        /// It rang the bell since the user last looked at it.
        bool bell = false;
        friend bool operator==(const Terminal&, const Terminal&) = default;
    };
    std::vector<Terminal> terminals;
    std::uint16_t shown = 0;
    friend bool operator==(const Status&, const Status&) = default;
};
/// The process of the terminal at `index` ended, with its exit status when known.
struct Exited {
    std::uint16_t index = 0;
    std::optional<std::int32_t> exitCode;
    friend bool operator==(const Exited&, const Exited&) = default;
};
/// The server ends the attachment; the last frame on the connection.
struct Detached {
    enum class Reason : std::uint8_t {
        requested = 0,
        gridClosed = 1,
        serverStopping = 2,
        tooSlow = 3,
        protocolError = 4,
    };
    Reason reason = Reason::requested;
    /// A sentence for the user, UTF-8; may be empty.
    std::string message;
    friend bool operator==(const Detached&, const Detached&) = default;
};

using ClientMessage = std::variant<Input, Resize, SwitchTerminal, Detach>;
using ServerMessage = std::variant<Output, Redraw, Status, Exited, Detached>;

/// The frame's bytes. Throws ProtocolError when the payload is longer than `maxPayload`.
std::string encode(Type type, std::string_view payload);
/// The message as one frame. Throws ProtocolError when it would exceed `maxPayload` (callers
/// split input and output into pieces of at most `maxPayload` bytes).
std::string encode(const ClientMessage& message);
std::string encode(const ServerMessage& message);

/// The message a client frame carries. Throws ProtocolError for a server type, a payload of
/// the wrong length, a zero size, or an unknown switch kind.
ClientMessage parseClient(const Frame& frame);
/// The message a server frame carries. Throws ProtocolError for a client type or a payload
/// that does not hold what its type promises.
ServerMessage parseServer(const Frame& frame);

/// Splits a byte stream into frames, whatever the chunks it arrives in. Holds at most one
/// unfinished frame (header plus at most `maxPayload` bytes); a header announcing a longer
/// payload or a type the direction does not send breaks the stream at once, before its payload
/// is read.
class Decoder {
public:
    explicit Decoder(Direction direction, std::size_t maxPayloadBytes = maxPayload);

    /// Takes the next chunk and appends each frame it completes to `frames`. Returns false
    /// once the stream is broken (`error()` says why); from then on nothing is decoded.
    bool feed(std::string_view chunk, std::vector<Frame>& frames);

    /// Why the stream broke, or nothing.
    const std::optional<std::string>& error() const { return error_; }

    /// Bytes held for the frame not yet complete.
    std::size_t buffered() const { return buffer_.size(); }

private:
    std::uint32_t announcedLength() const;
    bool headerAcceptable();

    Direction direction_;
    std::size_t maxPayloadBytes_;
    std::string buffer_;
    std::optional<std::string> error_;
};

} // namespace OrvexServer::AttachFrame
