#include "OrvexServer/AttachFrame.hpp"

#include <fmt/format.h>

namespace OrvexServer::AttachFrame {

namespace {

bool isClientType(std::uint8_t type) {
    return type >= static_cast<std::uint8_t>(Type::input) &&
           type <= static_cast<std::uint8_t>(Type::detach);
}

bool isServerType(std::uint8_t type) {
    return type >= static_cast<std::uint8_t>(Type::output) &&
           type <= static_cast<std::uint8_t>(Type::detached);
}

void putU16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
}

void putU32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

/// Reads big-endian fields from a payload, throwing when it runs short.
class Reader {
public:
    Reader(std::string_view bytes, const char* what) : bytes_(bytes), what_(what) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
    std::uint16_t u16() {
        auto b = take(2);
        return static_cast<std::uint16_t>((byte(b, 0) << 8) | byte(b, 1));
    }
    std::uint32_t u32() {
        auto b = take(4);
        return (static_cast<std::uint32_t>(byte(b, 0)) << 24) |
               (static_cast<std::uint32_t>(byte(b, 1)) << 16) |
               (static_cast<std::uint32_t>(byte(b, 2)) << 8) | byte(b, 3);
    }
    std::string_view take(std::size_t n) {
        if (bytes_.size() - at_ < n) {
            throw ProtocolError(fmt::format("{} frame is too short", what_));
        }
        auto piece = bytes_.substr(at_, n);
        at_ += n;
        return piece;
    }
    std::string_view rest() {
        auto piece = bytes_.substr(at_);
        at_ = bytes_.size();
        return piece;
    }
    void end() {
        if (at_ != bytes_.size()) {
            throw ProtocolError(fmt::format("{} frame is too long", what_));
        }
    }

private:
    static std::uint32_t byte(std::string_view b, std::size_t i) {
        return static_cast<unsigned char>(b[i]);
    }

    std::string_view bytes_;
    const char* what_;
    std::size_t at_ = 0;
};

/// The longest prefix of `text` of at most `limit` bytes that does not end inside a UTF-8
/// sequence.
std::string_view cutUTF8(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

} // namespace

std::string encode(Type type, std::string_view payload) {
    if (payload.size() > maxPayload) {
        throw ProtocolError(fmt::format("a frame payload of {} bytes exceeds the limit of {}",
                                        payload.size(), maxPayload));
    }
    std::string out;
    out.reserve(headerSize + payload.size());
    out += static_cast<char>(type);
    putU32(out, static_cast<std::uint32_t>(payload.size()));
    out += payload;
    return out;
}

std::string encode(const ClientMessage& message) {
    struct Visitor {
        std::string operator()(const Input& m) const { return encode(Type::input, m.bytes); }
        std::string operator()(const Resize& m) const {
            std::string payload;
            putU16(payload, m.rows);
            putU16(payload, m.cols);
            return encode(Type::resize, payload);
        }
        std::string operator()(const SwitchTerminal& m) const {
            std::string payload;
            payload += static_cast<char>(m.kind);
            putU16(payload, m.index);
            return encode(Type::switchTerminal, payload);
        }
        std::string operator()(const Detach&) const { return encode(Type::detach, {}); }
    };
    return std::visit(Visitor{}, message);
}

std::string encode(const ServerMessage& message) {
    struct Visitor {
        std::string operator()(const Output& m) const { return encode(Type::output, m.bytes); }
        std::string operator()(const Redraw& m) const {
            std::string payload;
            putU16(payload, m.rows);
            putU16(payload, m.cols);
            payload += m.bytes;
            return encode(Type::redraw, payload);
        }
        std::string operator()(const Status& m) const {
            std::string payload;
            putU16(payload, static_cast<std::uint16_t>(std::min<std::size_t>(
                                m.terminals.size(), std::numeric_limits<std::uint16_t>::max())));
            putU16(payload, m.shown);
            std::size_t count = 0;
            for (const auto& terminal : m.terminals) {
                if (++count > std::numeric_limits<std::uint16_t>::max()) {
                    break;
                }
                payload += static_cast<char>(terminal.state);
                payload += static_cast<char>(terminal.bell ? 1 : 0);
                auto title = cutUTF8(terminal.title, maxTitleBytes);
                putU16(payload, static_cast<std::uint16_t>(title.size()));
                payload += title;
            }
            return encode(Type::status, payload);
        }
        std::string operator()(const Exited& m) const {
            std::string payload;
            putU16(payload, m.index);
            payload += static_cast<char>(m.exitCode ? 1 : 0);
            putU32(payload, static_cast<std::uint32_t>(m.exitCode.value_or(0)));
            return encode(Type::exited, payload);
        }
        std::string operator()(const Detached& m) const {
            std::string payload;
            payload += static_cast<char>(m.reason);
            payload += cutUTF8(m.message, maxPayload - 1);
            return encode(Type::detached, payload);
        }
    };
    return std::visit(Visitor{}, message);
}

ClientMessage parseClient(const Frame& frame) {
    switch (frame.type) {
    case Type::input:
        return Input{frame.payload};
    case Type::resize: {
        Reader reader(frame.payload, "a resize");
        Resize resize{reader.u16(), reader.u16()};
        reader.end();
        if (resize.rows == 0 || resize.cols == 0) {
            throw ProtocolError("a resize frame asks for an empty window");
        }
        return resize;
    }
    case Type::switchTerminal: {
        Reader reader(frame.payload, "a switch");
        auto kind = reader.u8();
        auto index = reader.u16();
        reader.end();
        if (kind > static_cast<std::uint8_t>(SwitchTerminal::Kind::index)) {
            throw ProtocolError(fmt::format("a switch frame has the unknown kind {}", kind));
        }
        return SwitchTerminal{static_cast<SwitchTerminal::Kind>(kind), index};
    }
    case Type::detach:
        if (!frame.payload.empty()) {
            throw ProtocolError("a detach frame carries a payload");
        }
        return Detach{};
    default:
        throw ProtocolError(fmt::format("frame type 0x{:02x} is not one a client sends",
                                        static_cast<unsigned>(frame.type)));
    }
}

ServerMessage parseServer(const Frame& frame) {
    switch (frame.type) {
    case Type::output:
        return Output{frame.payload};
    case Type::redraw: {
        Reader reader(frame.payload, "a redraw");
        Redraw redraw;
        redraw.rows = reader.u16();
        redraw.cols = reader.u16();
        redraw.bytes = std::string(reader.rest());
        return redraw;
    }
    case Type::status: {
        Reader reader(frame.payload, "a status");
        Status status;
        auto count = reader.u16();
        status.shown = reader.u16();
        for (std::uint16_t i = 0; i < count; ++i) {
            Status::Terminal terminal;
            auto state = reader.u8();
            if (state > static_cast<std::uint8_t>(Status::State::exited)) {
                throw ProtocolError(fmt::format("a status frame has the unknown state {}", state));
            }
            terminal.state = static_cast<Status::State>(state);
            terminal.bell = (reader.u8() & 1) != 0;
            terminal.title = std::string(reader.take(reader.u16()));
            status.terminals.push_back(std::move(terminal));
        }
        reader.end();
        return status;
    }
    case Type::exited: {
        Reader reader(frame.payload, "an exited");
        Exited exited;
        exited.index = reader.u16();
        bool hasCode = reader.u8() != 0;
        auto code = static_cast<std::int32_t>(reader.u32());
        reader.end();
        if (hasCode) {
            exited.exitCode = code;
        }
        return exited;
    }
    case Type::detached: {
        Reader reader(frame.payload, "a detached");
        auto reason = reader.u8();
        if (reason > static_cast<std::uint8_t>(Detached::Reason::protocolError)) {
            throw ProtocolError(fmt::format("a detached frame has the unknown reason {}", reason));
        }
        return Detached{static_cast<Detached::Reason>(reason), std::string(reader.rest())};
    }
    default:
        throw ProtocolError(fmt::format("frame type 0x{:02x} is not one the server sends",
                                        static_cast<unsigned>(frame.type)));
    }
}

Decoder::Decoder(Direction direction, std::size_t maxPayloadBytes)
    : direction_(direction), maxPayloadBytes_(std::min(maxPayloadBytes, maxPayload)) {}

std::uint32_t Decoder::announcedLength() const {
    std::uint32_t length = 0;
    for (std::size_t i = 1; i < headerSize; ++i) {
        length = (length << 8) | static_cast<unsigned char>(buffer_[i]);
    }
    return length;
}

bool Decoder::headerAcceptable() {
    auto type = static_cast<std::uint8_t>(buffer_[0]);
    bool known = direction_ == Direction::fromClient ? isClientType(type) : isServerType(type);
    if (!known) {
        error_ = fmt::format("unknown frame type 0x{:02x}", type);
        return false;
    }
    if (announcedLength() > maxPayloadBytes_) {
        error_ = fmt::format("a frame announces {} bytes, more than the limit of {}",
                             announcedLength(), maxPayloadBytes_);
        return false;
    }
    return true;
}

bool Decoder::feed(std::string_view chunk, std::vector<Frame>& frames) {
    while (!error_ && !chunk.empty()) {
        // Take only what the current frame still needs, so the buffer never holds more than
        // one frame however large the chunk.
        std::size_t wanted =
            buffer_.size() < headerSize ? headerSize : headerSize + announcedLength();
        std::size_t take = std::min(wanted - buffer_.size(), chunk.size());
        buffer_.append(chunk.substr(0, take));
        chunk.remove_prefix(take);
        if (buffer_.size() == headerSize && wanted == headerSize && !headerAcceptable()) {
            buffer_.clear();
            buffer_.shrink_to_fit();
            return false;
        }
        if (buffer_.size() >= headerSize && buffer_.size() == headerSize + announcedLength()) {
            frames.push_back(Frame{static_cast<Type>(buffer_[0]), buffer_.substr(headerSize)});
            buffer_.clear();
        }
    }
    return !error_;
}

} // namespace OrvexServer::AttachFrame
