#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "OrvexCore/Git/FileDiff.hpp"
#include "OrvexCore/Models/UUID.hpp"

namespace OrvexServer::Protocol {

/// The protocol version exchanged by `hello`; raised on every incompatible change.
inline constexpr int version = 1;
/// The longest request line the server reads (without its line feed).
inline constexpr std::size_t maxLineBytes = 4 * 1024 * 1024;

/// One request read from a line or a message, with its envelope checked.
struct Request {
    /// The request's id; null when none could be read.
    nlohmann::json id;
    std::string method;
    /// An object (empty when the request had none).
    nlohmann::json params;
    /// Set when the envelope is wrong (`parseError` or `invalidRequest`): answer it with `id`.
    std::optional<nlohmann::json> error;
};

/// Reads a request `{"id", "method", "params"}` from `text`.
Request parseRequest(const std::string& text);

/// The error object of a response for the exception `error`: core errors keep their case and
/// payload (AppError, GitError, DiffHelperClient::ClientError), so a client can raise the same
/// error again; ProtocolError keeps its code; anything else is a plain failure with its text.
nlohmann::json errorObject(std::exception_ptr error);

/// The text of the answer to request `id` (without a line feed): `{"id": id, key: value}`,
/// text that is not UTF-8 replaced so that the line always parses.
std::string answerText(const nlohmann::json& id, const char* key, nlohmann::json value);

/// Runs one request and gives the text of its answer: `run`'s result, or the error object of
/// whatever it threw (at once or while it ran), so that no failure escapes a request.
boost::asio::awaitable<std::string>
answerOf(nlohmann::json id, std::function<boost::asio::awaitable<nlohmann::json>()> run);

/// The error object of a protocol fault.
nlohmann::json protocolError(const std::string& code, const std::string& message);

/// Raises the core error an error object describes (the inverse of `errorObject`); an object
/// of another type is raised as RemoteFailure.
[[noreturn]] void raise(const nlohmann::json& error);

/// An error the server reported that is none of the core's errors.
class RemoteFailure : public std::runtime_error {
public:
    RemoteFailure(std::string type, std::string code, const std::string& message)
        : std::runtime_error(message), type(std::move(type)), code(std::move(code)) {}
    std::string type;
    std::string code;
};

// Reading parameters. Each throws ProtocolError("invalidParams") naming the field when it is
// missing (where required) or of the wrong type.
const nlohmann::json& object(const nlohmann::json& params, const char* key);
std::string string(const nlohmann::json& params, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& params, const char* key);
long long integer(const nlohmann::json& params, const char* key);
bool boolean(const nlohmann::json& params, const char* key, bool fallback);
OrvexCore::UUID uuid(const nlohmann::json& params, const char* key);
std::optional<OrvexCore::UUID> optionalUUID(const nlohmann::json& params, const char* key);
std::vector<std::string> strings(const nlohmann::json& params, const char* key);

nlohmann::json encode(const std::vector<OrvexCore::FileDiff>& files);
std::vector<OrvexCore::FileDiff> decodeFileDiffs(const nlohmann::json& list);

} // namespace OrvexServer::Protocol
