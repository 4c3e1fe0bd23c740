// The server's request lines on any bytes, through a real connection over a socket pair. Until
// a line passes the length limit, every non-empty line gets exactly one answer: a JSON object
// with the request's id (null when none could be read) and either a result or an error; an
// echoed request answers with its own parameters. A line past the limit gets one last answer,
// "lineTooLong", and the connection closes. Parameter readers either read a value of the right
// type or refuse it as invalid parameters, whatever the request holds.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include "OrvexServer/Connection.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

namespace asio = boost::asio;
using nlohmann::json;
using OrvexServer::Connection;
using OrvexServer::ProtocolError;

namespace {

const std::string lastID = "end-of-input";

asio::awaitable<json> handle(std::shared_ptr<Connection>, std::string method, json params) {
    if (method == "echo") {
        co_return params;
    }
    if (method == "read") {
        namespace P = OrvexServer::Protocol;
        json read{{"s", P::string(params, "s")},
                  {"i", P::integer(params, "i")},
                  {"b", P::boolean(params, "b", false)},
                  {"u", P::optionalUUID(params, "u") ? "uuid" : "none"},
                  {"list", P::strings(params, "list")}};
        FUZZ_CHECK(read["s"] == params["s"] && read["i"] == params["i"]);
        co_return read;
    }
    throw ProtocolError("unknownMethod", "no method " + method);
}

/// What the connection must answer for one line: the id it must carry, and for an echo the
/// parameters it must give back.
struct Expected {
    json id;
    std::optional<json> echoed;
    bool readsParameters = false;
};

std::optional<Expected> expectationFor(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.empty()) {
        return std::nullopt;
    }
    Expected expected{nullptr, std::nullopt, false};
    const json request = json::parse(line, nullptr, false);
    if (!request.is_object()) {
        return expected;
    }
    const auto id = request.find("id");
    if (id == request.end() || !(id->is_number_integer() || id->is_string())) {
        return expected;
    }
    expected.id = *id;
    const auto method = request.find("method");
    const auto params = request.find("params");
    const bool wellFormed = method != request.end() && method->is_string() &&
                            (params == request.end() || params->is_object());
    if (wellFormed && *method == "echo") {
        expected.echoed = params == request.end() ? json::object() : *params;
    }
    expected.readsParameters = wellFormed && *method == "read";
    return expected;
}

// Named coroutines rather than lambdas: g++ 12 gives two coroutine lambdas inside an extern "C"
// function the same symbol.
asio::awaitable<void> send(Connection::Socket& client, const std::string& bytes) {
    co_await asio::async_write(client, asio::buffer(bytes), asio::use_awaitable);
}

asio::awaitable<void> readAnswers(Connection::Socket& client, std::vector<json>& answers,
                                  std::string& received) {
    for (;;) {
        const auto n = co_await asio::async_read_until(client, asio::dynamic_buffer(received), '\n',
                                                       asio::use_awaitable);
        answers.push_back(json::parse(received.substr(0, n - 1)));
        received.erase(0, n);
        if (answers.back()["id"] == lastID) {
            // Hanging up ends the connection's reading, and with it the run.
            client.close();
            co_return;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    // A limit small enough for short inputs to pass it, large enough for the closing request.
    const std::size_t maxLine = 64 + std::size_t{input.byte()} * 4;
    const std::string text(input.rest());

    // The lines the connection will see, the closing request after them.
    std::vector<std::string_view> lines;
    const std::string closing = R"({"id":")" + lastID + R"(","method":"echo"})";
    const std::string sent = text + "\n" + closing + "\n";
    for (std::string_view rest = sent; !rest.empty();) {
        const auto end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }

    asio::io_context io;
    Connection::Socket serverEnd(io), client(io);
    asio::local::connect_pair(serverEnd, client);
    auto connection = std::make_shared<Connection>(std::move(serverEnd),
                                                   Connection::Limits{maxLine}, handle, nullptr);
    connection->start([] {});

    std::vector<json> answers;
    std::string received;
    asio::co_spawn(io, send(client, sent), [](std::exception_ptr) {});
    // A line too long ends the stream early, and with it the reading.
    asio::co_spawn(io, readAnswers(client, answers, received), [](std::exception_ptr) {});
    io.run();
    FUZZ_CHECK(received.empty());

    std::vector<Expected> expected;
    bool tooLong = false;
    for (const auto line : lines) {
        if (line.size() > maxLine) {
            tooLong = true;
            break;
        }
        if (auto e = expectationFor(line)) {
            expected.push_back(*e);
        }
    }
    for (const auto& answer : answers) {
        FUZZ_CHECK(answer.is_object() && answer.contains("id"));
        FUZZ_CHECK(answer.contains("result") != answer.contains("error"));
        if (answer.contains("error")) {
            FUZZ_CHECK(answer["error"]["type"].is_string() &&
                       answer["error"]["message"].is_string());
        }
    }
    if (tooLong) {
        FUZZ_CHECK(!answers.empty() && answers.back()["id"].is_null() &&
                   answers.back()["error"]["code"] == "lineTooLong");
        answers.pop_back();
        // Answers still on their way when the connection closed may be lost, never invented.
        FUZZ_CHECK(answers.size() <= expected.size());
    } else {
        FUZZ_CHECK(answers.size() == expected.size());
    }

    // Requests run side by side, so answers are matched by id, not by order.
    std::multimap<std::string, const Expected*> byID;
    for (const auto& e : expected) {
        byID.emplace(e.id.dump(), &e);
    }
    for (const auto& answer : answers) {
        const auto range = byID.equal_range(answer["id"].dump());
        FUZZ_CHECK(range.first != range.second);
        const bool unique = std::next(range.first) == range.second;
        const Expected& request = *range.first->second;
        if (unique && request.echoed) {
            FUZZ_CHECK(answer.contains("result") && answer["result"] == *request.echoed);
        }
        if (unique && request.readsParameters && answer.contains("error")) {
            FUZZ_CHECK(answer["error"]["code"] == "invalidParams");
        }
        byID.erase(range.first);
    }
    return 0;
}
