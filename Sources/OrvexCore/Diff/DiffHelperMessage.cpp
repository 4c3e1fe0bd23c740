#include "OrvexCore/Diff/DiffHelperMessage.hpp"

#include <charconv>
#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "OrvexCore/Util/JSONString.hpp"

namespace OrvexCore {

using nlohmann::json;

std::string_view wireValue(DiffHelperOp op) {
    switch (op) {
    case DiffHelperOp::list:
        return "list";
    case DiffHelperOp::patch:
        return "patch";
    case DiffHelperOp::shutdown:
        return "shutdown";
    }
    return "list";
}

std::optional<DiffHelperOp> diffHelperOpFromWire(std::string_view wire) {
    for (auto op : {DiffHelperOp::list, DiffHelperOp::patch, DiffHelperOp::shutdown}) {
        if (wire == wireValue(op)) {
            return op;
        }
    }
    return std::nullopt;
}

namespace DiffHelperCoding {
namespace {

void putIfPresent(json& object, const char* key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = *value;
    }
}

[[noreturn]] void fail(const std::string& message) {
    throw DiffHelperDecodingError(message);
}

// nlohmann's messages start with "[json.exception.parse_error.101] "; the bracketed tag means
// nothing to a reader of the error text.
std::string withoutExceptionTag(const std::string& message) {
    if (!message.empty() && message.front() == '[') {
        auto close = message.find("] ");
        if (close != std::string::npos) {
            return message.substr(close + 2);
        }
    }
    return message;
}

json parseObject(std::string_view bytes) {
    json value;
    try {
        value = json::parse(bytes.begin(), bytes.end());
    } catch (const json::exception& e) {
        // Not only syntax errors: a number too large for a double ("1E999") is out_of_range.
        fail("not valid JSON: " + withoutExceptionTag(e.what()));
    }
    if (!value.is_object()) {
        fail(std::string("expected a JSON object, found ") + value.type_name());
    }
    return value;
}

/// The member `key`, or null when it is missing (both mean absent).
const json& member(const json& object, const char* key) {
    static const json null;
    auto found = object.find(key);
    return found == object.end() ? null : *found;
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json& value = member(object, key);
    if (value.is_null()) {
        return std::nullopt;
    }
    if (!value.is_string()) {
        fail(std::string("\"") + key + "\" must be a string, found " + value.type_name());
    }
    return value.get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) {
        fail(std::string("missing \"") + key + "\"");
    }
    return *value;
}

std::int64_t requiredInteger(const json& object, const char* key) {
    const json& value = member(object, key);
    if (value.is_null()) {
        fail(std::string("missing \"") + key + "\"");
    }
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            fail(std::string("\"") + key + "\" is out of range");
        }
        return static_cast<std::int64_t>(number);
    }
    if (!value.is_number_integer()) {
        fail(std::string("\"") + key + "\" must be an integer, found " + value.type_name());
    }
    return value.get<std::int64_t>();
}

FileDiff decodeFile(const json& value) {
    if (!value.is_object()) {
        fail(std::string("each of \"files\" must be an object, found ") + value.type_name());
    }
    FileDiff file;
    file.path = requiredString(value, "path");
    file.added = requiredInteger(value, "added");
    file.removed = requiredInteger(value, "removed");
    file.patch = requiredString(value, "patch");
    return file;
}

void writeString(std::string& out, std::string_view text) {
    if (!JSONString::append(out, text, JSONString::Slashes::escaped)) {
        throw DiffHelperEncodingError("text is not valid UTF-8");
    }
}

template <class Integer> void writeInteger(std::string& out, Integer number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

void writeValue(std::string& out, const json& value) {
    switch (value.type()) {
    case json::value_t::null:
        out += "null";
        return;
    case json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        return;
    case json::value_t::number_integer:
        writeInteger(out, value.get<std::int64_t>());
        return;
    case json::value_t::number_unsigned:
        writeInteger(out, value.get<std::uint64_t>());
        return;
    case json::value_t::number_float:
        out += value.dump();
        return;
    case json::value_t::string:
        writeString(out, value.get_ref<const std::string&>());
        return;
    case json::value_t::array: {
        out += '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first) {
                out += ',';
            }
            first = false;
            writeValue(out, element);
        }
        out += ']';
        return;
    }
    case json::value_t::object: {
        // Objects keep their keys in a std::map, so they come out sorted.
        out += '{';
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) {
                out += ',';
            }
            first = false;
            writeString(out, key);
            out += ':';
            writeValue(out, member);
        }
        out += '}';
        return;
    }
    case json::value_t::binary:
    case json::value_t::discarded:
        break;
    }
    throw DiffHelperEncodingError(std::string("cannot encode a JSON ") + value.type_name());
}

} // namespace

json toJSON(const FileDiff& file) {
    return json{{"path", file.path},
                {"added", file.added},
                {"removed", file.removed},
                {"patch", file.patch}};
}

json toJSON(const DiffHelperRequest& request) {
    json object = json::object();
    putIfPresent(object, "id", request.id);
    object["op"] = std::string(wireValue(request.op));
    putIfPresent(object, "worktreePath", request.worktreePath);
    putIfPresent(object, "base", request.base);
    putIfPresent(object, "path", request.path);
    return object;
}

json toJSON(const DiffHelperResponse& response) {
    json object = json::object();
    putIfPresent(object, "id", response.id);
    object["ok"] = response.ok;
    if (response.files) {
        json files = json::array();
        for (const auto& file : *response.files) {
            files.push_back(toJSON(file));
        }
        object["files"] = std::move(files);
    }
    putIfPresent(object, "path", response.path);
    putIfPresent(object, "patch", response.patch);
    putIfPresent(object, "error", response.error);
    return object;
}

std::string encode(const json& value) {
    std::string out;
    writeValue(out, value);
    return out;
}

DiffHelperRequest decodeRequest(std::string_view bytes) {
    json object = parseObject(bytes);
    DiffHelperRequest request;
    request.id = optionalString(object, "id");
    std::string op = requiredString(object, "op");
    auto decodedOp = diffHelperOpFromWire(op);
    if (!decodedOp) {
        fail("unknown op \"" + op + "\" (expected \"list\", \"patch\" or \"shutdown\")");
    }
    request.op = *decodedOp;
    request.worktreePath = optionalString(object, "worktreePath");
    request.base = optionalString(object, "base");
    request.path = optionalString(object, "path");
    return request;
}

DiffHelperResponse decodeResponse(std::string_view bytes) {
    json object = parseObject(bytes);
    DiffHelperResponse response;
    response.id = optionalString(object, "id");
    const json& ok = member(object, "ok");
    if (ok.is_null()) {
        fail("missing \"ok\"");
    }
    if (!ok.is_boolean()) {
        fail(std::string("\"ok\" must be a boolean, found ") + ok.type_name());
    }
    response.ok = ok.get<bool>();
    const json& files = member(object, "files");
    if (!files.is_null()) {
        if (!files.is_array()) {
            fail(std::string("\"files\" must be an array, found ") + files.type_name());
        }
        std::vector<FileDiff> decoded;
        decoded.reserve(files.size());
        for (const auto& file : files) {
            decoded.push_back(decodeFile(file));
        }
        response.files = std::move(decoded);
    }
    response.path = optionalString(object, "path");
    response.patch = optionalString(object, "patch");
    response.error = optionalString(object, "error");
    return response;
}

} // namespace DiffHelperCoding

// The line is built in place (no copy to add the line feed): a patch answer can be half a
// megabyte, and each copy of it costs page faults as well as time.
std::string DiffHelperRequest::encodedLine() const {
    std::string line;
    DiffHelperCoding::writeValue(line, DiffHelperCoding::toJSON(*this));
    line += '\n';
    return line;
}

std::string DiffHelperResponse::encodedLine() const {
    std::string line;
    DiffHelperCoding::writeValue(line, DiffHelperCoding::toJSON(*this));
    line += '\n';
    return line;
}

} // namespace OrvexCore
