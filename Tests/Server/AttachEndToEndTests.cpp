// Attaching to grids kept by a real server: the orvex binary in a throwaway home, real shells,
// python3 and less; the test plays the client over the frame protocol.

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Cli/CliHarness.hpp"
#include "Cli/HomeWithRepo.hpp"
#include "OrvexServer/AttachFrame.hpp"
#include "OrvexServer/ScreenModel.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Support/NumberedLines.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
namespace AF = OrvexServer::AttachFrame;
using OrvexServer::ScreenModel;
using OrvexTest::CliHome;
using OrvexTest::eventually;
using OrvexTest::TempGitRepo;

namespace {

/// One attached client: keeps a screen model of what it was sent, as a real client's terminal
/// would show it.
class Client {
public:
    Client(const CliHome& home, const std::string& sessionID, int rows, int cols) {
        auto connection = OrvexServer::ServerConnection::connect(home.socketPath());
        auto attached = connection->attach(
            {{"id", sessionID}, {"terminal", 0}, {"rows", rows}, {"cols", cols}});
        fd_ = attached.fd;
        take(attached.pending);
    }
    ~Client() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    void send(const AF::ClientMessage& message) {
        auto frame = AF::encode(message);
        ASSERT_EQ(::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(frame.size()));
    }
    void type(const std::string& text) { send(AF::Input{text}); }
    void show(std::uint16_t index) {
        send(AF::SwitchTerminal{AF::SwitchTerminal::Kind::index, index});
    }

    /// Reads frames until `done` holds; false after 30 s or when the connection ends first.
    template <class Done> bool until(Done done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline || closed_) {
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char buffer[65536];
                ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n <= 0) {
                    closed_ = true;
                } else {
                    take(std::string_view(buffer, static_cast<std::size_t>(n)));
                }
            }
        }
        return true;
    }
    bool shows(const std::string& text) {
        return until([&] { return screen_ && screen_->text().find(text) != std::string::npos; });
    }
    /// Shows the terminal at `index` and waits for its redraw and for `text` on it. A redraw
    /// of the terminal shown before may still be on its way, so only a redraw that follows the
    /// status naming `index` counts.
    bool showAndWait(std::uint16_t index, const std::string& text) {
        int before = redraws_;
        show(index);
        return until([&] { return redraws_ > before && redrawn_ == index; }) && shows(text);
    }
    /// Detaches and waits for the server's farewell and the end of the connection.
    bool detach() {
        send(AF::Detach{});
        return until([&] { return closed_; }) && farewell_ &&
               farewell_->reason == AF::Detached::Reason::requested;
    }

    std::string text() const { return screen_ ? screen_->text() : ""; }
    std::pair<int, int> size() const { return {screen_->rows(), screen_->cols()}; }
    int redraws() const { return redraws_; }

private:
    void take(std::string_view bytes) {
        std::vector<AF::Frame> frames;
        ASSERT_TRUE(decoder_.feed(bytes, frames));
        for (const auto& frame : frames) {
            auto message = AF::parseServer(frame);
            if (auto* redraw = std::get_if<AF::Redraw>(&message)) {
                screen_ = std::make_unique<ScreenModel>(redraw->rows, redraw->cols);
                screen_->feed(redraw->bytes);
                ++redraws_;
                // The server sends a terminal's status before its redraw.
                redrawn_ = shown_;
            } else if (auto* output = std::get_if<AF::Output>(&message)) {
                ASSERT_TRUE(screen_);
                screen_->feed(output->bytes);
            } else if (auto* status = std::get_if<AF::Status>(&message)) {
                shown_ = status->shown;
            } else if (auto* detached = std::get_if<AF::Detached>(&message)) {
                farewell_ = *detached;
            }
        }
    }

    int fd_ = -1;
    AF::Decoder decoder_{AF::Direction::fromServer};
    std::unique_ptr<ScreenModel> screen_;
    std::optional<AF::Detached> farewell_;
    int redraws_ = 0;
    int shown_ = -1;
    /// The terminal the last redraw showed.
    int redrawn_ = -1;
    bool closed_ = false;
};

std::string sessionID(const CliHome& home, const std::string& slug) {
    return OrvexTest::sessionInStore(home.store(), slug)["id"].get<std::string>();
}

/// What the server holds: open descriptors, threads and child processes.
struct Holdings {
    std::size_t fds = 0;
    std::size_t threads = 0;
    std::size_t children = 0;
};

Holdings holdingsOf(int pid) {
    Holdings h;
    std::string proc = "/proc/" + std::to_string(pid);
    h.fds = OrvexTest::entries(proc + "/fd").size();
    h.threads = OrvexTest::entries(proc + "/task").size();
    for (const auto& entry : fs::directory_iterator(proc + "/task")) {
        std::string children = OrvexTest::readFile(entry.path().string() + "/children");
        for (char c : children) {
            h.children += c == ' ' ? 1 : 0;
        }
    }
    return h;
}

} // namespace

class AttachEndToEnd : public OrvexTest::HomeWithRepo {};

TEST_F(AttachEndToEnd, ReattachingRedrawsEveryScreenAsItWasAndTheProgramsLive) {
    home.ok({"new", "-b", "cycle", "--rows", "1", "--cols", "3"});
    std::string id = sessionID(home, "cycle");
    OrvexTest::writeFile(home.sessionsRoot() + "/cycle/numbers.txt", OrvexTest::numberedLines(200));

    std::vector<std::string> before(3);
    {
        Client client(home, id, 20, 70);
        ASSERT_TRUE(client.until([&] { return client.redraws() > 0; }));
        client.type("python3 -q\r");
        ASSERT_TRUE(client.shows(">>>")) << client.text();
        client.type("print(6 * 7)\r");
        ASSERT_TRUE(client.shows("42")) << client.text();
        ASSERT_TRUE(client.showAndWait(1, "")) << client.text();
        client.type("less numbers.txt\r");
        ASSERT_TRUE(client.shows("line 19")) << client.text();
        client.type(" ");
        ASSERT_TRUE(client.shows("line 38")) << client.text();
        ASSERT_TRUE(client.showAndWait(2, "")) << client.text();
        client.type("echo shell-$((3*4))\r");
        ASSERT_TRUE(client.shows("shell-12")) << client.text();
        // What the client saw of each, drawn afresh on switching to it.
        for (std::uint16_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(client.showAndWait(i, "")) << i;
            before[i] = client.text();
        }
        ASSERT_TRUE(client.detach());
    }
    EXPECT_NE(before[1].find("line 38"), std::string::npos) << before[1];

    Client again(home, id, 20, 70);
    for (std::uint16_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(again.showAndWait(i, "")) << i;
        EXPECT_EQ(again.text(), before[i]) << "terminal " << i;
    }
    // Each program still runs where it was.
    ASSERT_TRUE(again.showAndWait(0, ">>>"));
    again.type("print(7 * 8)\r");
    EXPECT_TRUE(again.shows("56")) << again.text();
    ASSERT_TRUE(again.showAndWait(1, "line 38"));
    again.type("q");
    again.type("echo back-$((1+1))\r");
    EXPECT_TRUE(again.shows("back-2")) << again.text();
    ASSERT_TRUE(again.detach());
}

TEST_F(AttachEndToEnd, AHundredAttachCyclesLeaveNothingBehindInTheServer) {
    home.ok({"new", "-b", "churn", "--rows", "1", "--cols", "2"});
    std::string id = sessionID(home, "churn");
    int server = home.serverPID();
    ASSERT_GT(server, 0);
    {
        // The grid opens with the first attachment; what it holds is the baseline.
        Client warm(home, id, 24, 80);
        ASSERT_TRUE(warm.until([&] { return warm.redraws() > 0; }));
        ASSERT_TRUE(warm.detach());
    }
    Holdings baseline;
    ASSERT_TRUE(eventually([&] {
        baseline = holdingsOf(server);
        return baseline.children == 2;
    }));
    for (int i = 0; i < 100; ++i) {
        Client client(home, id, 24 + i % 5, 80);
        ASSERT_TRUE(client.until([&] { return client.redraws() > 0; })) << i;
        if (i % 2 == 0) {
            ASSERT_TRUE(client.detach()) << i;
        }
        // Odd rounds just drop the connection.
    }
    // The baseline may still hold the warm-up client's connection for a moment, so the
    // descriptors must not have grown (a leak would add one or more per cycle).
    Holdings after;
    EXPECT_TRUE(eventually([&] {
        after = holdingsOf(server);
        return after.fds <= baseline.fds && after.threads == baseline.threads &&
               after.children == baseline.children;
    })) << "fds "
        << after.fds << " vs " << baseline.fds << ", threads " << after.threads << " vs "
        << baseline.threads << ", children " << after.children << " vs " << baseline.children;
}

TEST_F(AttachEndToEnd, TwoClientsOfOneGridShareTheSmallerSize) {
    home.ok({"new", "-b", "pair"});
    std::string id = sessionID(home, "pair");

    Client big(home, id, 40, 120);
    ASSERT_TRUE(big.until([&] { return big.redraws() > 0; }));
    EXPECT_EQ(big.size(), std::make_pair(40, 120));
    {
        Client small(home, id, 20, 60);
        ASSERT_TRUE(small.until([&] { return small.redraws() > 0; }));
        EXPECT_EQ(small.size(), std::make_pair(20, 60));
        ASSERT_TRUE(big.until([&] { return big.size() == std::make_pair(20, 60); }));
        // Both see the program, which was told the shared size.
        small.type("echo size-$(stty size | tr ' ' x)\r");
        EXPECT_TRUE(small.shows("size-20x60")) << small.text();
        EXPECT_TRUE(big.shows("size-20x60")) << big.text();
        // A resize from the bigger one changes nothing for anyone.
        big.send(AF::Resize{50, 150});
        ASSERT_TRUE(small.detach());
    }
    // With the small one gone the programs get the big one's latest size.
    ASSERT_TRUE(big.until([&] { return big.size() == std::make_pair(50, 150); }));
    big.type("echo size-$(stty size | tr ' ' x)\r");
    EXPECT_TRUE(big.shows("size-50x150")) << big.text();
    ASSERT_TRUE(big.detach());
}
