#include "OrvexServer/AttachFrame.hpp"

#include <gtest/gtest.h>

namespace F = OrvexServer::AttachFrame;

namespace {

std::vector<F::Frame> decodeAll(F::Direction direction, std::string_view bytes) {
    F::Decoder decoder(direction);
    std::vector<F::Frame> frames;
    EXPECT_TRUE(decoder.feed(bytes, frames)) << decoder.error().value_or("");
    EXPECT_EQ(decoder.buffered(), 0u);
    return frames;
}

} // namespace

// Every message surviving encoding and decoding, however the stream is cut, is the attach
// frame fuzz target's: over its seeds it reaches every line and branch of the frame code that
// a table of messages cut at every byte reached.
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
