#include "OrvexServer/AttachSession.hpp"

#include <map>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "Support/RunUntil.hpp"

#include "OrvexServer/AttachGrid.hpp"
#include "OrvexServer/ScreenModel.hpp"

namespace F = OrvexServer::AttachFrame;
using OrvexServer::AttachSession;
using OrvexServer::ScreenModel;
using State = F::Status::State;
using Socket = AttachSession::Socket;
using OrvexTest::runUntil;

namespace {

/// A grid of screen models that records what the attachments asked of it.
class FakeGrid : public OrvexServer::AttachGrid {
public:
    explicit FakeGrid(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            models.push_back(std::make_unique<ScreenModel>(10, 40));
            models.back()->feed("terminal " + std::to_string(i + 1));
            terminals.push_back({"t" + std::to_string(i + 1), State::idle, false});
        }
    }

    F::Status status() const override { return F::Status{terminals, 0}; }
    F::Redraw redraw(std::size_t index) const override {
        const auto& model = *models.at(index);
        return F::Redraw{static_cast<std::uint16_t>(model.rows()),
                         static_cast<std::uint16_t>(model.cols()), model.redraw()};
    }
    void input(std::size_t index, std::string_view bytes) override {
        inputs.emplace_back(index, std::string(bytes));
    }
    void seen(std::size_t index) override { terminals.at(index).bell = false; }
    /// Only recorded: sharing the size among clients is the real grid's, tested end to end.
    void clientSize(const AttachSession& client, std::optional<F::Resize> size) override {
        if (size) {
            sizes[&client] = *size;
        } else {
            sizes.erase(&client);
        }
    }

    void clientBehind(const AttachSession&, bool behind) override { behindCalls.push_back(behind); }

    std::vector<bool> behindCalls;
    std::vector<std::unique_ptr<ScreenModel>> models;
    std::vector<F::Status::Terminal> terminals;
    std::vector<std::pair<std::size_t, std::string>> inputs;
    std::map<const AttachSession*, F::Resize> sizes;
};

/// The client's end of an attached connection.
struct Client {
    explicit Client(boost::asio::io_context& io) : socket(io) {}

    void send(const F::ClientMessage& message) { sendRaw(F::encode(message)); }
    void sendRaw(const std::string& bytes) {
        boost::asio::write(socket, boost::asio::buffer(bytes));
    }

    /// Reads until `count` messages have arrived in all, or the connection closed.
    bool waitFor(boost::asio::io_context& io, std::size_t count) {
        while (received.size() < count && !closed) {
            bool done = false;
            socket.async_read_some(boost::asio::buffer(buffer),
                                   [&](const boost::system::error_code& error, std::size_t n) {
                                       done = true;
                                       if (error) {
                                           closed = true;
                                           return;
                                       }
                                       std::vector<F::Frame> frames;
                                       EXPECT_TRUE(decoder.feed({buffer.data(), n}, frames));
                                       for (const auto& frame : frames) {
                                           received.push_back(F::parseServer(frame));
                                       }
                                   });
            if (!runUntil(io, [&] { return done; })) {
                return false;
            }
        }
        return received.size() >= count;
    }
    bool waitForClose(boost::asio::io_context& io) {
        waitFor(io, std::numeric_limits<std::size_t>::max());
        return closed;
    }

    template <class T> const T& last() const { return std::get<T>(received.back()); }

    /// Reads until an output frame holding `bytes` has arrived.
    bool waitForOutput(boost::asio::io_context& io, const std::string& bytes) {
        auto seen = [&] {
            return std::any_of(received.begin(), received.end(), [&](const auto& message) {
                const auto* output = std::get_if<F::Output>(&message);
                return output && output->bytes == bytes;
            });
        };
        while (!seen()) {
            if (!waitFor(io, received.size() + 1)) {
                return false;
            }
        }
        return true;
    }

    Socket socket;
    F::Decoder decoder{F::Direction::fromServer};
    std::array<char, 65536> buffer{};
    std::vector<F::ServerMessage> received;
    bool closed = false;
};

struct Attached {
    std::unique_ptr<Client> client;
    std::shared_ptr<AttachSession> session;
    std::shared_ptr<std::optional<AttachSession::End>> end;
};

Attached attach(boost::asio::io_context& io, FakeGrid& grid, std::size_t shown,
                AttachSession::Limits limits = {}) {
    Attached result;
    result.client = std::make_unique<Client>(io);
    result.end = std::make_shared<std::optional<AttachSession::End>>();
    Socket server(io);
    boost::asio::local::connect_pair(result.client->socket, server);
    result.session =
        AttachSession::start(std::move(server), grid, shown, limits,
                             [end = result.end](AttachSession::End why) { *end = why; });
    return result;
}

std::string screenText(const F::Redraw& redraw) {
    ScreenModel model(redraw.rows, redraw.cols);
    model.feed(redraw.bytes);
    return model.text();
}

} // namespace

TEST(AttachSessionTests, AttachSendsStatusRedrawThenTheShownTerminalsOutput) {
    boost::asio::io_context io;
    FakeGrid grid(3);
    grid.terminals[1].bell = true;
    auto a = attach(io, grid, 1);
    ASSERT_TRUE(a.client->waitFor(io, 2));
    auto status = std::get<F::Status>(a.client->received[0]);
    EXPECT_EQ(status.shown, 1);
    EXPECT_EQ(status.terminals.size(), 3u);
    EXPECT_FALSE(status.terminals[1].bell); // looking at it clears its bell
    EXPECT_EQ(screenText(std::get<F::Redraw>(a.client->received[1])).substr(0, 10), "terminal 2");

    a.session->terminalOutput(0, "hidden");
    a.session->terminalOutput(1, "shown");
    ASSERT_TRUE(a.client->waitFor(io, 3));
    EXPECT_EQ(a.client->last<F::Output>().bytes, "shown");

    a.client->send(F::Input{"ls\r"});
    ASSERT_TRUE(runUntil(io, [&] { return !grid.inputs.empty(); }));
    EXPECT_EQ(grid.inputs[0], (std::pair<std::size_t, std::string>{1, "ls\r"}));
}

TEST(AttachSessionTests, SwitchingShowsAndRedrawsTheChosenTerminal) {
    struct Case {
        const char* name;
        std::size_t from;
        F::SwitchTerminal request;
        std::size_t to;
    };
    using Kind = F::SwitchTerminal::Kind;
    const std::vector<Case> cases = {
        {"next", 0, {Kind::next, 0}, 1},
        {"next wraps and passes the ended terminal", 3, {Kind::next, 0}, 1},
        {"previous passes the ended terminal and wraps", 1, {Kind::previous, 0}, 3},
        {"previous", 3, {Kind::previous, 0}, 2},
        {"index", 3, {Kind::index, 2}, 2},
        {"index of an ended terminal still shows it", 1, {Kind::index, 0}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context io;
        FakeGrid grid(4);
        grid.terminals[0].state = State::exited;
        auto a = attach(io, grid, c.from);
        ASSERT_TRUE(a.client->waitFor(io, 2));
        a.client->send(c.request);
        ASSERT_TRUE(a.client->waitFor(io, 4));
        EXPECT_EQ(std::get<F::Status>(a.client->received[2]).shown, c.to);
        EXPECT_EQ(screenText(std::get<F::Redraw>(a.client->received[3])).substr(0, 10),
                  "terminal " + std::to_string(c.to + 1));
        EXPECT_EQ(a.session->shown(), c.to);
    }
    // A terminal that does not exist is no error and changes nothing.
    boost::asio::io_context io;
    FakeGrid grid(2);
    auto a = attach(io, grid, 0);
    a.client->send(F::SwitchTerminal{Kind::index, 9});
    a.client->send(F::Input{"x"});
    ASSERT_TRUE(runUntil(io, [&] { return !grid.inputs.empty(); }));
    EXPECT_EQ(grid.inputs[0].first, 0u);
    EXPECT_FALSE(a.session->ended());
}

TEST(AttachSessionTests, TheShownTerminalEndingShowsTheNextThatRuns) {
    boost::asio::io_context io;
    FakeGrid grid(3);
    grid.terminals[2].state = State::exited;
    auto a = attach(io, grid, 1);
    ASSERT_TRUE(a.client->waitFor(io, 2));
    grid.terminals[1].state = State::exited;
    a.session->terminalExited(1, 3);
    ASSERT_TRUE(a.client->waitFor(io, 5));
    EXPECT_EQ(std::get<F::Exited>(a.client->received[2]), (F::Exited{1, 3}));
    EXPECT_EQ(std::get<F::Status>(a.client->received[3]).shown, 0);
    EXPECT_EQ(a.session->shown(), 0u);
}

TEST(AttachSessionTests, AClientThatStopsReadingIsDroppedAndTheOthersGoOn) {
    boost::asio::io_context io;
    FakeGrid grid(1);
    auto slow = attach(io, grid, 0, AttachSession::Limits{64 * 1024});
    auto fast = attach(io, grid, 0);
    ASSERT_TRUE(fast.client->waitFor(io, 2));
    std::string chunk(16 * 1024, 'x');
    std::size_t pushed = 0;
    // The slow client never reads: once the socket's buffers are full its queue grows until
    // it passes the limit. The queue never holds more than the limit.
    while (!slow.session->ended() && pushed < 4096) {
        slow.session->terminalOutput(0, chunk);
        fast.session->terminalOutput(0, "y");
        ++pushed;
        EXPECT_LE(slow.session->queuedBytes(), 64u * 1024);
        io.restart();
        io.poll();
        ASSERT_TRUE(fast.client->waitForOutput(io, "y"));
        fast.client->received.clear();
    }
    ASSERT_TRUE(slow.session->ended());
    ASSERT_TRUE(runUntil(io, [&] { return slow.end->has_value(); }));
    EXPECT_EQ(**slow.end, AttachSession::End::tooSlow);
    EXPECT_FALSE(fast.session->ended());
    fast.session->terminalOutput(0, "still here");
    EXPECT_TRUE(fast.client->waitForOutput(io, "still here"));
}

TEST(AttachSessionTests, ProtocolErrorsAreAnsweredAndEndTheAttachment) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"unknown type", std::string("\x7f\0\0\0\0", 5)},
        {"server frame", F::encode(F::Output{"x"})},
        {"longer than the limit", std::string("\x01\x7f\xff\xff\xff", 5)},
        {"resize of nothing", std::string("\x02\0\0\0\x04\0\0\0\0", 9)},
        {"switch of an unknown kind", std::string("\x03\0\0\0\x03\x09\0\0", 8)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        boost::asio::io_context io;
        FakeGrid grid(1);
        auto a = attach(io, grid, 0);
        a.client->sendRaw(F::encode(F::Resize{20, 60}) + bytes + F::encode(F::Input{"late"}));
        ASSERT_TRUE(a.client->waitForClose(io));
        EXPECT_EQ(std::get<F::Detached>(a.client->received.back()).reason,
                  F::Detached::Reason::protocolError);
        ASSERT_TRUE(runUntil(io, [&] { return a.end->has_value(); }));
        EXPECT_EQ(**a.end, AttachSession::End::protocolError);
        EXPECT_TRUE(grid.inputs.empty()); // nothing after the bad frame was acted on
        EXPECT_TRUE(grid.sizes.empty());  // and the client's size is gone with it
    }
}

TEST(AttachSessionTests, ClosingByTheServerSaysWhyAndForgetsTheGrid) {
    boost::asio::io_context io;
    auto grid = std::make_unique<FakeGrid>(1);
    auto a = attach(io, *grid, 0);
    ASSERT_TRUE(a.client->waitFor(io, 2));
    a.session->close(F::Detached::Reason::gridClosed, "the session's programs were stopped");
    grid.reset(); // the session must not touch the grid after close()
    ASSERT_TRUE(a.client->waitForClose(io));
    EXPECT_EQ(a.client->last<F::Detached>(), (F::Detached{F::Detached::Reason::gridClosed,
                                                          "the session's programs were stopped"}));
    EXPECT_FALSE(a.end->has_value());
}

// A client that falls behind tells the grid (which holds the program) instead of being dropped,
// tells it again once it has read its queue down, and is dropped only when it stays behind.
TEST(AttachSessionTests, AClientBehindHoldsTheProgramUntilItCatchesUpOrGivesUp) {
    boost::asio::io_context io;
    FakeGrid grid(1);
    AttachSession::Limits limits;
    limits.behindBytes = 64 * 1024;
    limits.behindTime = std::chrono::milliseconds(300);
    auto attached = attach(io, grid, 0, limits);
    ASSERT_TRUE(attached.client->waitFor(io, 2));
    const std::string chunk(16 * 1024, 'x');
    auto fallBehind = [&] {
        while (grid.behindCalls.empty() || !grid.behindCalls.back()) {
            attached.session->terminalOutput(0, chunk);
            io.restart();
            io.poll();
        }
    };
    fallBehind();
    EXPECT_FALSE(attached.session->ended());
    // Reading it all catches up; while the grid still hears "behind", more is on its way.
    while (grid.behindCalls.back()) {
        ASSERT_TRUE(attached.client->waitFor(io, attached.client->received.size() + 1));
        attached.client->received.clear();
    }
    EXPECT_EQ(grid.behindCalls, (std::vector<bool>{true, false}));
    EXPECT_FALSE(attached.session->ended());

    fallBehind();
    ASSERT_TRUE(runUntil(io, [&] { return attached.end->has_value(); }));
    EXPECT_EQ(**attached.end, AttachSession::End::tooSlow);
    EXPECT_EQ(grid.behindCalls, (std::vector<bool>{true, false, true, false}));
}
