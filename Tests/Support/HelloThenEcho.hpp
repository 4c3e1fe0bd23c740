#pragma once

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "OrvexServer/Client.hpp"
#include "OrvexServer/ProtocolError.hpp"

/// A stand-in for the server's request handler behind a web listener under test, shared by the
/// listener's tests and its fuzz target (header only, so the fuzz build needs no test library).
namespace OrvexTest {

/// The one stand-in terminal such a listener serves.
inline constexpr const char* webTerminalID = "0B6F6B2E-5C7A-4A52-9A31-3F1C2D4E5F60";

/// "hello" greets the client and answers version 1; before it every method fails with
/// helloRequired; after it any method answers its own params.
inline boost::asio::awaitable<nlohmann::json>
helloThenEcho(std::shared_ptr<OrvexServer::Client> client, std::string method,
              nlohmann::json params) {
    if (method == "hello") {
        client->setGreeted();
        co_return nlohmann::json{{"version", 1}};
    }
    if (!client->greeted()) {
        throw OrvexServer::ProtocolError("helloRequired", "hello first");
    }
    co_return params;
}

} // namespace OrvexTest
