#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ServerConnection.hpp"

namespace OrvexTest {

/// The protocol code of the error the server answers `method` with, or "none".
inline std::string errorCode(OrvexServer::ServerConnection& server, const std::string& method,
                             const nlohmann::json& params) {
    try {
        server.call(method, params);
    } catch (const OrvexServer::Protocol::RemoteFailure& e) {
        return e.code;
    }
    return "none";
}

} // namespace OrvexTest
