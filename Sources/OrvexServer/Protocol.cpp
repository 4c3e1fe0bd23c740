#include "OrvexServer/Protocol.hpp"

#include <system_error>

#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Models/AppError.hpp"
#include "OrvexServer/ProtocolError.hpp"

namespace OrvexServer::Protocol {

using nlohmann::json;
using OrvexCore::AppError;
using OrvexCore::DiffHelperClient;
using OrvexCore::GitError;

namespace {

const char* appCase(AppError::Kind kind) {
    switch (kind) {
    case AppError::Kind::uncommittedChanges:
        return "uncommittedChanges";
    case AppError::Kind::notAGitRepository:
        return "notAGitRepository";
    case AppError::Kind::invalidBranchName:
        return "invalidBranchName";
    case AppError::Kind::unmergedCommits:
        return "unmergedCommits";
    }
    return "unknown";
}

const char* helperCase(DiffHelperClient::ClientError::Kind kind) {
    using Kind = DiffHelperClient::ClientError::Kind;
    switch (kind) {
    case Kind::spawnFailed:
        return "spawnFailed";
    case Kind::helperError:
        return "helperError";
    case Kind::notRunning:
        return "notRunning";
    case Kind::timeout:
        return "timeout";
    case Kind::crashed:
        return "crashed";
    }
    return "unknown";
}

[[noreturn]] void invalid(const char* key, const char* wanted) {
    throw ProtocolError("invalidParams", std::string("params.") + key + " must be " + wanted);
}

} // namespace

Request parseRequest(const std::string& text) {
    Request request;
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        request.error = protocolError("parseError", "the line is not JSON");
        return request;
    }
    if (parsed.is_object()) {
        auto it = parsed.find("id");
        if (it != parsed.end() && (it->is_number_integer() || it->is_string())) {
            request.id = *it;
        }
    }
    if (!parsed.is_object() || request.id.is_null() || !parsed.contains("method") ||
        !parsed["method"].is_string() ||
        (parsed.contains("params") && !parsed["params"].is_object())) {
        request.error =
            protocolError("invalidRequest", "a request is an object with an integer or string "
                                            "\"id\", a string \"method\" and an optional object "
                                            "\"params\"");
        return request;
    }
    request.method = parsed["method"].get<std::string>();
    request.params = parsed.value("params", json::object());
    return request;
}

json protocolError(const std::string& code, const std::string& message) {
    return json{{"type", "protocol"}, {"code", code}, {"message", message}};
}

std::string answerText(const json& id, const char* key, json value) {
    json message{{"id", id}, {key, std::move(value)}};
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

boost::asio::awaitable<std::string> answerOf(json id,
                                             std::function<boost::asio::awaitable<json>()> run) {
    json result;
    std::exception_ptr failure;
    try {
        result = co_await run();
    } catch (...) {
        failure = std::current_exception();
    }
    co_return failure ? answerText(id, "error", errorObject(failure))
                      : answerText(id, "result", std::move(result));
}

json errorObject(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const ProtocolError& e) {
        return protocolError(e.code(), e.what());
    } catch (const AppError& e) {
        return json{{"type", "app"},
                    {"case", appCase(e.kind())},
                    {"sessionID", e.sessionID().string()},
                    {"path", e.path()},
                    {"commitCount", e.commitCount()},
                    {"message", e.what()}};
    } catch (const GitError& e) {
        return json{{"type", "git"},
                    {"command", e.command},
                    {"exitCode", e.exitCode},
                    {"message", e.message}};
    } catch (const DiffHelperClient::ClientError& e) {
        return json{{"type", "diffHelper"},
                    {"case", helperCase(e.kind())},
                    {"detail", e.message()},
                    {"message", e.description()}};
    } catch (const json::exception& e) {
        return protocolError("invalidParams", e.what());
    } catch (const std::exception& e) {
        return json{{"type", "failure"}, {"message", e.what()}};
    } catch (...) {
        return json{{"type", "failure"}, {"message", "unexpected failure"}};
    }
}

void raise(const json& error) {
    auto text = [&](const char* key) {
        auto it = error.find(key);
        return it != error.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    std::string type = text("type");
    if (type == "app") {
        std::string kind = text("case");
        auto id = OrvexCore::UUID::parse(text("sessionID")).value_or(OrvexCore::UUID());
        int commits = error.value("commitCount", 0);
        if (kind == "uncommittedChanges") {
            throw AppError::uncommittedChanges(id);
        }
        if (kind == "notAGitRepository") {
            throw AppError::notAGitRepository(text("path"));
        }
        if (kind == "invalidBranchName") {
            throw AppError::invalidBranchName();
        }
        if (kind == "unmergedCommits") {
            throw AppError::unmergedCommits(id, commits);
        }
    } else if (type == "git") {
        throw GitError(text("command"), error.value("exitCode", 1), text("message"));
    } else if (type == "diffHelper") {
        using ClientError = DiffHelperClient::ClientError;
        std::string kind = text("case");
        if (kind == "spawnFailed") {
            throw ClientError::spawnFailed(text("detail"));
        }
        if (kind == "helperError") {
            throw ClientError::helperError(text("detail"));
        }
        if (kind == "notRunning") {
            throw ClientError::notRunning();
        }
        if (kind == "timeout") {
            throw ClientError::timeout();
        }
        if (kind == "crashed") {
            throw ClientError::crashed();
        }
    }
    std::string message = text("message");
    throw RemoteFailure(type, text("code"), message.empty() ? "the server failed" : message);
}

const json& object(const json& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end() || !it->is_object()) {
        invalid(key, "an object");
    }
    return *it;
}

std::string string(const json& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end() || !it->is_string()) {
        invalid(key, "a string");
    }
    return it->get<std::string>();
}

std::optional<std::string> optionalString(const json& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        invalid(key, "a string or null");
    }
    return it->get<std::string>();
}

long long integer(const json& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end() || !it->is_number_integer()) {
        invalid(key, "an integer");
    }
    return it->get<long long>();
}

bool boolean(const json& params, const char* key, bool fallback) {
    auto it = params.find(key);
    if (it == params.end() || it->is_null()) {
        return fallback;
    }
    if (!it->is_boolean()) {
        invalid(key, "a boolean");
    }
    return it->get<bool>();
}

OrvexCore::UUID uuid(const json& params, const char* key) {
    auto id = OrvexCore::UUID::parse(string(params, key));
    if (!id) {
        invalid(key, "a UUID");
    }
    return *id;
}

std::optional<OrvexCore::UUID> optionalUUID(const json& params, const char* key) {
    auto text = optionalString(params, key);
    if (!text) {
        return std::nullopt;
    }
    auto id = OrvexCore::UUID::parse(*text);
    if (!id) {
        invalid(key, "a UUID or null");
    }
    return id;
}

std::vector<std::string> strings(const json& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end() || !it->is_array()) {
        invalid(key, "a list of strings");
    }
    std::vector<std::string> list;
    for (const auto& item : *it) {
        if (!item.is_string()) {
            invalid(key, "a list of strings");
        }
        list.push_back(item.get<std::string>());
    }
    return list;
}

json encode(const std::vector<OrvexCore::FileDiff>& files) {
    json list = json::array();
    for (const auto& f : files) {
        list.push_back({{"path", f.path},
                        {"added", f.added},
                        {"removed", f.removed},
                        {"status", std::string(1, f.status)}});
    }
    return list;
}

std::vector<OrvexCore::FileDiff> decodeFileDiffs(const json& list) {
    std::vector<OrvexCore::FileDiff> files;
    for (const auto& item : list) {
        OrvexCore::FileDiff f;
        f.path = item.at("path").get<std::string>();
        f.added = item.at("added").get<std::int64_t>();
        f.removed = item.at("removed").get<std::int64_t>();
        if (auto status = item.find("status");
            status != item.end() && status->is_string() && status->get<std::string>().size() == 1) {
            f.status = status->get<std::string>()[0];
        }
        files.push_back(std::move(f));
    }
    return files;
}

} // namespace OrvexServer::Protocol
