#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "OrvexCore/Terminal/TerminalController.hpp"
#include "Terminal/FakeTerminalEngine.hpp"

namespace OrvexTest {

/// A controller over the fake engine on a local io_context standing in for the main executor.
class ControllerFixture : public ::testing::Test {
protected:
    ControllerFixture()
        : record(std::make_shared<FakeEngineRecord>()),
          controller(std::make_shared<OrvexCore::TerminalController>(
              io.get_executor(), std::make_unique<FakeTerminalEngine>(record))) {}

    static OrvexCore::Session session(std::string folder = "/work/session") {
        OrvexCore::Session s;
        s.worktreePath = std::move(folder);
        return s;
    }

    /// Runs every handler that is ready, including those they queue.
    void drain() {
        io.restart();
        io.poll();
    }
    /// Runs one ready handler (one turn of the main executor); false when none was ready.
    bool turn() {
        io.restart();
        return io.poll_one() > 0;
    }

    std::shared_ptr<FakeTerminalHandle> handle(const OrvexCore::TerminalRef& ref) const {
        return record->handle(ref.id);
    }
    std::vector<OrvexCore::UUID> ids(const OrvexCore::UUID& sessionID) {
        std::vector<OrvexCore::UUID> out;
        for (const auto& ref : controller->terminals(sessionID)) {
            out.push_back(ref.id);
        }
        return out;
    }

    boost::asio::io_context io;
    std::shared_ptr<FakeEngineRecord> record;
    std::shared_ptr<OrvexCore::TerminalController> controller;
};

} // namespace OrvexTest
