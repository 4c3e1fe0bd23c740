#include "OrvexServer/TerminalScreens.hpp"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "OrvexCore/Models/Session.hpp"
#include "OrvexPty/PtyTerminalEngine.hpp"
#include "OrvexServer/TerminalHost.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexServer;
using OrvexCore::Session;

namespace {

/// Real shells under the server's terminal host, with their screens followed.
class TerminalScreensTest : public ::testing::Test {
protected:
    TerminalScreensTest() : host(io.get_executor(), TerminalHost::monitorConfig()), screens(host) {
        session.worktreePath = repo.path();
    }

    ~TerminalScreensTest() override { host.closeAll(); }

    template <class Done> bool runUntil(Done done) { return OrvexTest::runUntil(io, done); }

    bool screenShows(const OrvexCore::UUID& id, const std::string& text) {
        const ScreenModel* model = screens.screen(id);
        return model != nullptr && model->text().find(text) != std::string::npos;
    }

    OrvexTest::TempGitRepo repo;
    boost::asio::io_context io;
    TerminalHost host;
    TerminalScreens screens;
    Session session;
};

} // namespace

TEST_F(TerminalScreensTest, FollowsEachTerminalFromOpenToCloseAtItsProgramsSize) {
    auto first = host.controller().openPrimary(session, std::nullopt);
    auto second = host.controller().openPrimary(session, std::nullopt);
    ASSERT_NE(screens.screen(first.id), nullptr) << "a model exists before any output";
    EXPECT_EQ(screens.screen(first.id)->rows(), TerminalScreens::defaultRows);
    EXPECT_EQ(screens.screen(first.id)->cols(), TerminalScreens::defaultCols);

    // Each terminal's output lands on its own model only.
    first.handle->send("echo one-$((40+2))\n");
    ASSERT_TRUE(runUntil([&] { return screenShows(first.id, "one-42"); }));
    EXPECT_FALSE(screenShows(second.id, "one-42"));
    EXPECT_NE(screens.redraw(first.id).find("one-42"), std::string::npos);

    // The program and the model change size together: the program reads the new size back.
    screens.resize(first.id, 30, 100);
    EXPECT_EQ(screens.screen(first.id)->rows(), 30);
    EXPECT_EQ(screens.screen(first.id)->cols(), 100);
    first.handle->send("echo size-$(stty size | tr ' ' x)\n");
    ASSERT_TRUE(runUntil([&] { return screenShows(first.id, "size-30x100"); }));

    // An ended program keeps its last screen; closing the terminal drops it.
    first.handle->send("echo bye-$((6*7)); exit\n");
    ASSERT_TRUE(runUntil([&] {
        const auto& refs = host.controller().terminals(session.id);
        return !refs.empty() && refs.front().isExited;
    }));
    EXPECT_TRUE(screenShows(first.id, "bye-42"));
    host.controller().close(first.id);
    EXPECT_EQ(screens.screen(first.id), nullptr);
    EXPECT_EQ(screens.redraw(first.id), "");
    EXPECT_NE(screens.screen(second.id), nullptr);
    screens.resize(first.id, 10, 10); // unknown now: ignored
    EXPECT_EQ(screens.size(), 1u);
}
