#include "OrvexServer/ServerAttachGrid.hpp"

#include <algorithm>
#include <set>

#include "OrvexCore/Terminal/TerminalController.hpp"
#include "OrvexCore/Terminal/TerminalHandle.hpp"
#include "OrvexServer/ScreenModel.hpp"
#include "OrvexServer/TerminalHost.hpp"
#include "OrvexServer/TerminalScreens.hpp"

namespace OrvexServer {

using OrvexCore::TerminalActivity;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;
using State = AttachFrame::Status::State;

ServerAttachGrid::ServerAttachGrid(boost::asio::any_io_executor executor, UUID sessionID,
                                   TerminalHost& host, TerminalScreens& screens)
    : sessionID_(sessionID), host_(host), screens_(screens), refreshTimer_(executor),
      alive_(std::make_shared<bool>(true)) {}

ServerAttachGrid::~ServerAttachGrid() {
    host_.holdOutput(this, {});
}

std::vector<TerminalRef> ServerAttachGrid::ordered() const {
    auto& controller = host_.controller();
    const auto& all = controller.terminals(sessionID_);
    std::vector<TerminalRef> refs;
    refs.reserve(all.size());
    for (const auto& row : controller.layout(sessionID_)) {
        for (const auto& id : row) {
            auto it = std::find_if(all.begin(), all.end(),
                                   [&](const TerminalRef& ref) { return ref.id == id; });
            if (it != all.end()) {
                refs.push_back(*it);
            }
        }
    }
    return refs;
}

std::optional<std::size_t> ServerAttachGrid::indexOf(const UUID& terminalID) const {
    auto refs = ordered();
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (refs[i].id == terminalID) {
            return i;
        }
    }
    return std::nullopt;
}

AttachFrame::Status ServerAttachGrid::status() const {
    AttachFrame::Status status;
    for (const auto& ref : ordered()) {
        AttachFrame::Status::Terminal terminal;
        const ScreenModel* screen = screens_.screen(ref.id);
        std::string title = screen ? screen->title() : std::string();
        terminal.title = title.empty() ? ref.title : std::move(title);
        if (ref.isExited) {
            terminal.state = State::exited;
        } else {
            switch (host_.activity(ref.id)) {
            case TerminalActivity::working:
                terminal.state = State::working;
                break;
            case TerminalActivity::needsInput:
                terminal.state = State::needsInput;
                break;
            case TerminalActivity::idle:
                terminal.state = State::idle;
                break;
            }
        }
        terminal.bell = bells_.contains(ref.id);
        status.terminals.push_back(std::move(terminal));
    }
    return status;
}

AttachFrame::Redraw ServerAttachGrid::redraw(std::size_t index) const {
    auto refs = ordered();
    if (index >= refs.size()) {
        return {};
    }
    const ScreenModel* screen = screens_.screen(refs[index].id);
    if (!screen) {
        return {};
    }
    return AttachFrame::Redraw{static_cast<std::uint16_t>(screen->rows()),
                               static_cast<std::uint16_t>(screen->cols()), screen->redraw()};
}

void ServerAttachGrid::input(std::size_t index, std::string_view bytes) {
    auto refs = ordered();
    if (index < refs.size() && !refs[index].isExited && !bytes.empty()) {
        refs[index].handle->send(bytes);
    }
}

void ServerAttachGrid::seen(std::size_t index) {
    auto refs = ordered();
    if (index < refs.size()) {
        bells_.erase(refs[index].id);
    }
}

void ServerAttachGrid::clientSize(const AttachSession& client,
                                  std::optional<AttachFrame::Resize> size) {
    if (size) {
        sizes_[&client] = *size;
    } else {
        sizes_.erase(&client);
    }
    applySize();
    announced_ = shared_;
    for (const auto& each : std::vector(clients_)) {
        if (each.get() != &client || size) {
            each->resized();
        }
    }
}

void ServerAttachGrid::applySize(std::optional<AttachFrame::Resize> extra) {
    std::vector<AttachFrame::Resize> sizes;
    for (const auto& [client, size] : sizes_) {
        sizes.push_back(size);
    }
    if (extra) {
        sizes.push_back(*extra);
    }
    auto shared = sharedWindowSize(sizes);
    if (!shared) {
        // Nobody says a size: the programs keep the last one, as a detached grid should.
        return;
    }
    shared_ = shared;
    for (const auto& ref : host_.controller().terminals(sessionID_)) {
        screens_.resize(ref.id, shared_->rows, shared_->cols);
        sized_.insert(ref.id);
    }
}

void ServerAttachGrid::presetSize(AttachFrame::Resize size) {
    applySize(size);
}

void ServerAttachGrid::add(std::shared_ptr<AttachSession> client,
                           std::optional<AttachFrame::Resize> size) {
    AttachSession* added = client.get();
    clients_.push_back(std::move(client));
    // The client's start sent a status; later ones are sent on change.
    sent_ = status();
    if (size) {
        sizes_[added] = *size;
        applySize();
    }
    // The others saw the programs at the size before this client came.
    if (shared_ != announced_) {
        announced_ = shared_;
        for (const auto& each : std::vector(clients_)) {
            if (each.get() != added) {
                each->resized();
            }
        }
    }
}

void ServerAttachGrid::remove(const AttachSession* client) {
    std::erase_if(clients_, [&](const auto& each) { return each.get() == client; });
    sizes_.erase(client);
    if (behind_.erase(client) > 0) {
        holdBehind();
    }
}

void ServerAttachGrid::clientBehind(const AttachSession& client, bool behind) {
    if (behind) {
        behind_.insert(&client);
    } else {
        behind_.erase(&client);
    }
    holdBehind();
}

void ServerAttachGrid::holdBehind() {
    auto refs = ordered();
    std::set<UUID> hold;
    for (const auto* client : behind_) {
        if (client->shown() < refs.size()) {
            hold.insert(refs[client->shown()].id);
        }
    }
    host_.holdOutput(this, std::move(hold));
}

void ServerAttachGrid::output(const UUID& terminalID, std::string_view bytes) {
    auto index = indexOf(terminalID);
    if (!index) {
        return;
    }
    for (const auto& client : std::vector(clients_)) {
        client->terminalOutput(*index, bytes);
    }
    refreshSoon();
}

void ServerAttachGrid::refreshSoon() {
    if (refreshPending_) {
        return;
    }
    refreshPending_ = true;
    refreshTimer_.expires_after(std::chrono::milliseconds(50));
    refreshTimer_.async_wait(
        [this, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code& error) {
            if (error || !alive.lock()) {
                return;
            }
            refreshPending_ = false;
            refresh();
        });
}

void ServerAttachGrid::bell(const UUID& terminalID) {
    bool seenNow = false;
    if (auto index = indexOf(terminalID)) {
        // A client looking at the terminal hears the bell in its output already.
        seenNow = std::any_of(clients_.begin(), clients_.end(),
                              [&](const auto& client) { return client->shown() == *index; });
    }
    if (!seenNow) {
        bells_.insert(terminalID);
    }
    refresh();
}

void ServerAttachGrid::exited(const UUID& terminalID, std::optional<std::int32_t> exitCode) {
    auto index = indexOf(terminalID);
    if (!index) {
        return;
    }
    sent_ = status();
    for (const auto& client : std::vector(clients_)) {
        client->terminalExited(*index, exitCode);
    }
}

void ServerAttachGrid::refresh() {
    if (shared_) {
        for (const auto& ref : host_.controller().terminals(sessionID_)) {
            if (sized_.insert(ref.id).second) {
                screens_.resize(ref.id, shared_->rows, shared_->cols);
            }
        }
    }
    auto now = status();
    if (sent_ == now) {
        return;
    }
    sent_ = std::move(now);
    for (const auto& client : std::vector(clients_)) {
        client->statusChanged();
    }
}

void ServerAttachGrid::closeAll(AttachFrame::Detached::Reason reason, const std::string& message) {
    auto clients = std::move(clients_);
    clients_.clear();
    sizes_.clear();
    behind_.clear();
    holdBehind();
    for (const auto& client : clients) {
        client->close(reason, message);
    }
}

} // namespace OrvexServer
