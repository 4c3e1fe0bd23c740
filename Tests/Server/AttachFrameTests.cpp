#include "OrvexServer/AttachFrame.hpp"

#include <gtest/gtest.h>

namespace F = OrvexServer::AttachFrame;

namespace {

std::vector<F::ClientMessage> clientMessages() {
    return {
        F::Input{"ls -la\r"},
        F::Input{std::string("\0\x1b[A\xff", 5)},
        F::Input{""},
        F::Resize{24, 80},
        F::Resize{65535, 1},
        F::SwitchTerminal{F::SwitchTerminal::Kind::next, 0},
        F::SwitchTerminal{F::SwitchTerminal::Kind::previous, 0},
        F::SwitchTerminal{F::SwitchTerminal::Kind::index, 513},
        F::Detach{},
    };
}

std::vector<F::ServerMessage> serverMessages() {
    return {
        F::Output{std::string("\x1b[31mred\0", 9)},
        F::Redraw{40, 120, "\x1b[H\x1b[2Jscreen"},
        F::Status{{{"agent", F::Status::State::working, false},
                   {"shell ✓", F::Status::State::needsInput, true},
                   {"", F::Status::State::exited, false}},
                  1},
        F::Status{{}, 0},
        F::Exited{2, 0},
        F::Exited{3, -9},
        F::Exited{0, std::nullopt},
        F::Detached{F::Detached::Reason::tooSlow, "the client fell behind"},
        F::Detached{F::Detached::Reason::requested, ""},
    };
}

std::vector<F::Frame> decodeAll(F::Direction direction, std::string_view bytes) {
    F::Decoder decoder(direction);
    std::vector<F::Frame> frames;
    EXPECT_TRUE(decoder.feed(bytes, frames)) << decoder.error().value_or("");
    EXPECT_EQ(decoder.buffered(), 0u);
    return frames;
}

} // namespace

TEST(AttachFrameTests, MessagesRoundTripWhateverTheChunks) {
    // Every single split point of each stream, so each header and payload boundary is cut.
    auto everyCut = [](F::Direction direction, const auto& messages, auto parse) {
        std::string stream;
        for (const auto& message : messages) {
            stream += F::encode(message);
        }
        for (size_t cut = 0; cut <= stream.size(); ++cut) {
            F::Decoder decoder(direction);
            std::vector<F::Frame> frames;
            ASSERT_TRUE(decoder.feed(std::string_view(stream).substr(0, cut), frames));
            ASSERT_TRUE(decoder.feed(std::string_view(stream).substr(cut), frames));
            ASSERT_EQ(frames.size(), messages.size()) << "cut at " << cut;
            for (size_t i = 0; i < frames.size(); ++i) {
                EXPECT_EQ(parse(frames[i]), messages[i]);
            }
        }
    };
    everyCut(F::Direction::fromClient, clientMessages(), F::parseClient);
    everyCut(F::Direction::fromServer, serverMessages(), F::parseServer);
    // Many small pieces in one stream are the attach frame fuzz target's (chunks of 1 to 64).
}

TEST(AttachFrameTests, WireFormatIsTypeLengthPayload) {
    EXPECT_EQ(F::encode(F::Resize{24, 80}), std::string("\x02\0\0\0\x04\0\x18\0\x50", 9));
    EXPECT_EQ(F::encode(F::Detach{}), std::string("\x04\0\0\0\0", 5));
    EXPECT_EQ(F::encode(F::Exited{1, -1}),
              std::string("\x84\0\0\0\x07\0\x01\x01\xff\xff\xff\xff", 12));
}

TEST(AttachFrameTests, BrokenStreamsAreRefusedAtTheHeader) {
    struct Case {
        const char* name;
        F::Direction direction;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"unknown type", F::Direction::fromClient, std::string("\x09\0\0\0\0", 5)},
        {"server type from a client", F::Direction::fromClient, F::encode(F::Output{"x"})},
        {"client type from the server", F::Direction::fromServer, F::encode(F::Input{"x"})},
        {"longer than the limit", F::Direction::fromClient, std::string("\x01\0\x10\0\x01", 5)},
        {"length of four gigabytes", F::Direction::fromServer, std::string("\x81\xff\xff\xff\xff")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        F::Decoder decoder(c.direction);
        std::vector<F::Frame> frames;
        EXPECT_FALSE(decoder.feed(c.bytes, frames));
        EXPECT_TRUE(decoder.error().has_value());
        EXPECT_EQ(decoder.buffered(), 0u);
        // A broken stream stays broken: a good frame after it is not decoded.
        EXPECT_FALSE(decoder.feed(F::encode(F::Detach{}), frames));
        EXPECT_TRUE(frames.empty());
    }
    // A frame exactly at the limit is fine; one byte more cannot even be encoded.
    std::string big(F::maxPayload, 'a');
    EXPECT_EQ(decodeAll(F::Direction::fromClient, F::encode(F::Input{big})).size(), 1u);
    EXPECT_THROW(F::encode(F::Input{big + "a"}), F::ProtocolError);
}

TEST(AttachFrameTests, TruncatedFramesWaitAndMalformedPayloadsThrow) {
    auto bytes = F::encode(F::Status{{{"t", F::Status::State::idle, false}}, 0});
    F::Decoder decoder(F::Direction::fromServer);
    std::vector<F::Frame> frames;
    ASSERT_TRUE(decoder.feed(bytes.substr(0, bytes.size() - 1), frames));
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(decoder.buffered(), bytes.size() - 1);

    struct Case {
        const char* name;
        F::Frame frame;
    };
    const std::vector<Case> clientCases = {
        {"resize too short", {F::Type::resize, std::string("\0\x18\0", 3)}},
        {"resize too long", {F::Type::resize, std::string("\0\x18\0\x50\0", 5)}},
        {"resize to nothing", {F::Type::resize, std::string("\0\0\0\x50", 4)}},
        {"unknown switch kind", {F::Type::switchTerminal, std::string("\x07\0\0", 3)}},
        {"detach with payload", {F::Type::detach, "x"}},
        {"server frame", {F::Type::output, "x"}},
    };
    for (const auto& c : clientCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(F::parseClient(c.frame), F::ProtocolError);
    }
    const std::vector<Case> serverCases = {
        {"redraw without size", {F::Type::redraw, std::string("\0\x18", 2)}},
        {"status title past the end",
         {F::Type::status, std::string("\0\x01\0\0\0\0\0\x09"
                                       "ab",
                                       10)}},
        {"status with trailing bytes", {F::Type::status, std::string("\0\0\0\0z", 5)}},
        {"status with unknown state", {F::Type::status, std::string("\0\x01\0\0\x09\0\0\0", 8)}},
        {"exited too short", {F::Type::exited, std::string("\0\x01\x01", 3)}},
        {"detached with unknown reason", {F::Type::detached, "\x63"}},
        {"detached empty", {F::Type::detached, ""}},
    };
    for (const auto& c : serverCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(F::parseServer(c.frame), F::ProtocolError);
    }
}

TEST(AttachFrameTests, LongTitlesAreCutAtACharacterBoundary) {
    std::string title;
    while (title.size() < F::maxTitleBytes + 10) {
        title += "é";
    }
    title = "x" + title; // so the limit falls inside a two-byte character
    auto frames = decodeAll(F::Direction::fromServer,
                            F::encode(F::Status{{{title, F::Status::State::idle, false}}, 0}));
    ASSERT_EQ(frames.size(), 1u);
    auto status = std::get<F::Status>(F::parseServer(frames[0]));
    const auto& cut = status.terminals[0].title;
    EXPECT_EQ(cut.size(), F::maxTitleBytes - 1);
    EXPECT_EQ(cut, title.substr(0, cut.size()));
}
