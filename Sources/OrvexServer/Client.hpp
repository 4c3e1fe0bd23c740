#pragma once

#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace OrvexServer {

/// What the request handlers see of a client, whichever transport it came by (the Unix
/// socket's JSON lines or the web page's WebSocket): whether it said `hello`, the events it
/// subscribed to, and a way to send it one. Main executor only.
class Client {
public:
    virtual ~Client() = default;

    /// Sends `{"event": name, "data": data}` if the client subscribed to `name`.
    virtual void sendEvent(const std::string& name, const nlohmann::json& data) = 0;

    /// The events this client asked for ("subscribe").
    std::set<std::string>& subscriptions() { return subscriptions_; }
    /// Whether the client completed the `hello` exchange.
    bool greeted() const { return greeted_; }
    void setGreeted() { greeted_ = true; }

private:
    std::set<std::string> subscriptions_;
    bool greeted_ = false;
};

} // namespace OrvexServer
