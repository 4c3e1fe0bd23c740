#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Terminal/TerminalEngine.hpp"
#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexCore/Terminal/TerminalStatusSource.hpp"
#include "OrvexCore/Terminal/TerminalSurfaceLifecycle.hpp"

namespace OrvexTest {

class FakeStatusSource : public OrvexCore::TerminalStatusSource {
public:
    void refresh() override {}
};

/// A terminal that starts nothing and records what is done to it.
class FakeTerminalHandle : public OrvexCore::TerminalHandle {
public:
    FakeTerminalHandle(OrvexCore::UUID identity, std::string cwd,
                       std::optional<std::string> command,
                       std::map<std::string, std::string> environment)
        : identity(identity), cwd(std::move(cwd)), command(std::move(command)),
          environment(std::move(environment)) {}

    OrvexCore::UUID id() const override { return identity; }
    std::optional<std::int64_t> processID() const override { return std::nullopt; }
    void send(std::string_view text) override { sent.emplace_back(text); }
    void terminate() override { ++terminateCount; }
    std::shared_ptr<OrvexCore::TerminalStatusSource> statusSource() const override {
        return source;
    }

    /// The engine reporting the process's end, as a real engine would.
    void exit(std::optional<std::int32_t> code) {
        if (auto callback = onExit) {
            callback(code);
        }
    }
    void focus(bool focused) {
        if (auto callback = onFocusChange) {
            callback(focused);
        }
    }

    const OrvexCore::UUID identity;
    const std::string cwd;
    const std::optional<std::string> command;
    const std::map<std::string, std::string> environment;
    std::shared_ptr<FakeStatusSource> source = std::make_shared<FakeStatusSource>();
    std::vector<std::string> sent;
    int terminateCount = 0;
};

/// A fake terminal whose surface can be suspended.
class FakeSurfaceHandle : public FakeTerminalHandle, public OrvexCore::TerminalSurfaceLifecycle {
public:
    using FakeTerminalHandle::FakeTerminalHandle;
    void suspendSurface() override { events.push_back("suspend"); }
    void resumeSurface() override { events.push_back("resume"); }
    std::vector<std::string> events;
};

/// What the fake engine made, shared with the test (the controller owns the engine itself).
struct FakeEngineRecord {
    std::vector<std::shared_ptr<FakeTerminalHandle>> made;
    bool withSurfaces = true;
    /// Identities to hand out before fresh ones (to show what a stored layout still holds).
    std::vector<OrvexCore::UUID> reusedIdentities;

    std::shared_ptr<FakeTerminalHandle> handle(const OrvexCore::UUID& id) const {
        for (const auto& h : made) {
            if (h->identity == id) {
                return h;
            }
        }
        return nullptr;
    }
};

class FakeTerminalEngine : public OrvexCore::TerminalEngine {
public:
    explicit FakeTerminalEngine(std::shared_ptr<FakeEngineRecord> record)
        : record_(std::move(record)) {}

    std::shared_ptr<OrvexCore::TerminalHandle>
    makeTerminal(const std::string& cwd, const std::optional<std::string>& command,
                 const std::map<std::string, std::string>& environment) override {
        OrvexCore::UUID identity;
        if (!record_->reusedIdentities.empty()) {
            identity = record_->reusedIdentities.front();
            record_->reusedIdentities.erase(record_->reusedIdentities.begin());
        }
        std::shared_ptr<FakeTerminalHandle> handle =
            record_->withSurfaces
                ? std::make_shared<FakeSurfaceHandle>(identity, cwd, command, environment)
                : std::make_shared<FakeTerminalHandle>(identity, cwd, command, environment);
        record_->made.push_back(handle);
        return handle;
    }

private:
    std::shared_ptr<FakeEngineRecord> record_;
};

} // namespace OrvexTest
