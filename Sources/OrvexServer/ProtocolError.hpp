#pragma once

#include <stdexcept>
#include <string>

namespace OrvexServer {

/// A request the server cannot take as it is: the line is not JSON, a field has the wrong
/// type, the method is unknown... `code` is one of the codes in docs/protocol.md.
class ProtocolError : public std::runtime_error {
public:
    ProtocolError(std::string code, const std::string& message)
        : std::runtime_error(message), code_(std::move(code)) {}
    const std::string& code() const { return code_; }

private:
    std::string code_;
};

} // namespace OrvexServer
