#include "OrvexCore/Diff/DiffHelperMessage.hpp"

#include <algorithm>
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

/// JSON text never holds a raw NUL byte, but the parser takes one for the end of its input
/// and would accept a message followed by a NUL and anything at all.
void refuseNULBytes(std::string_view bytes) {
    auto at = bytes.find('\0');
    if (at != std::string_view::npos) {
        fail("not valid JSON: a NUL byte at offset " + std::to_string(at));
    }
}

json parseObject(std::string_view bytes) {
    refuseNULBytes(bytes);
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

/// A string that is handed to git as an argument: a NUL in it ("\u0000") would cut the
/// argument short there and name another file or worktree, so it is refused.
std::optional<std::string> optionalPathString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (value && value->find('\0') != std::string::npos) {
        fail(std::string("\"") + key + "\" holds a NUL character");
    }
    return value;
}

std::string requiredString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) {
        fail(std::string("missing \"") + key + "\"");
    }
    return *value;
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

/// Writes one object's members in the order given (callers give keys sorted).
class ObjectWriter {
public:
    explicit ObjectWriter(std::string& out) : out_(out) {}
    void key(std::string_view name) {
        out_ += first_ ? '{' : ',';
        first_ = false;
        writeString(out_, name);
        out_ += ':';
    }
    void string(std::string_view name, const std::optional<std::string>& value) {
        if (value) {
            key(name);
            writeString(out_, *value);
        }
    }
    void close() {
        if (first_) {
            out_ += '{';
        }
        out_ += '}';
    }

private:
    std::string& out_;
    bool first_ = true;
};

/// Builds a response from the parser's events, without a JSON tree: a list answer of 100,000
/// files as a tree costs several times the answer itself. Type errors throw at once, with the
/// same texts as the tree-based request decoding.
class ResponseReader final : public nlohmann::json_sax<json> {
public:
    /// `answerBytes` sizes the file list: each file takes at least this many bytes on the wire.
    explicit ResponseReader(std::string_view answer) : expectedFiles_(expectedFileCount(answer)) {}

    DiffHelperResponse finish() {
        if (!ok_) {
            fail("missing \"ok\"");
        }
        response_.ok = *ok_;
        return std::move(response_);
    }

    bool null() override { return value(Kind::null); }
    bool boolean(bool v) override {
        flag_ = v;
        return value(Kind::boolean);
    }
    bool number_integer(number_integer_t v) override {
        integer_ = v;
        return value(Kind::integer);
    }
    bool number_unsigned(number_unsigned_t v) override {
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return value(Kind::tooLarge);
        }
        integer_ = static_cast<std::int64_t>(v);
        return value(Kind::integer);
    }
    bool number_float(number_float_t, const string_t&) override { return value(Kind::number); }
    bool string(string_t& v) override {
        text_ = &v;
        return value(Kind::string);
    }
    bool binary(binary_t&) override { return value(Kind::number); }
    bool start_object(std::size_t) override { return value(Kind::object); }
    bool start_array(std::size_t) override { return value(Kind::array); }
    bool key(string_t& k) override {
        if (skipDepth_ == 0) {
            key_ = std::move(k);
        }
        return true;
    }
    bool end_object() override { return end(); }
    bool end_array() override { return end(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        fail("not valid JSON: " + withoutExceptionTag(e.what()));
    }

private:
    enum class Kind { null, boolean, integer, tooLarge, number, string, object, array };
    enum class Place { outside, response, files, file };

    static const char* typeName(Kind kind) {
        switch (kind) {
        case Kind::null:
            return "null";
        case Kind::boolean:
            return "boolean";
        case Kind::integer:
        case Kind::tooLarge:
        case Kind::number:
            return "number";
        case Kind::string:
            return "string";
        case Kind::object:
            return "object";
        case Kind::array:
            return "array";
        }
        return "value";
    }

    /// How many files the answer holds, to size the list once: each begins with '{"' and a
    /// string holding those two characters writes the quote escaped. Bounded by the smallest
    /// size of a file on the wire, so text written some other way cannot make it larger.
    static size_t expectedFileCount(std::string_view answer) {
        size_t count = 0;
        for (size_t at = answer.find("{\""); at != std::string_view::npos;
             at = answer.find("{\"", at + 2)) {
            ++count;
        }
        return std::min(count, answer.size() / 32);
    }

    [[noreturn]] void wrongType(const char* expected, Kind found) const {
        fail("\"" + key_ + "\" must be " + expected + ", found " + typeName(found));
    }

    std::optional<std::string> optionalText(Kind kind) const {
        if (kind == Kind::null) {
            return std::nullopt;
        }
        if (kind != Kind::string) {
            wrongType("a string", kind);
        }
        return std::move(*text_);
    }

    std::optional<std::int64_t> optionalInteger(Kind kind) const {
        if (kind == Kind::null) {
            return std::nullopt;
        }
        if (kind == Kind::tooLarge) {
            fail("\"" + key_ + "\" is out of range");
        }
        if (kind != Kind::integer) {
            wrongType("an integer", kind);
        }
        return integer_;
    }

    bool value(Kind kind) {
        bool opens = kind == Kind::object || kind == Kind::array;
        if (skipDepth_ > 0) {
            skipDepth_ += opens ? 1 : 0;
            return true;
        }
        switch (place_) {
        case Place::outside:
            if (kind != Kind::object) {
                fail(std::string("expected a JSON object, found ") + typeName(kind));
            }
            place_ = Place::response;
            return true;
        case Place::response:
            responseMember(kind);
            break;
        case Place::files:
            if (kind != Kind::object) {
                fail(std::string("each of \"files\" must be an object, found ") + typeName(kind));
            }
            place_ = Place::file;
            file_ = {};
            return true;
        case Place::file:
            fileMember(kind);
            break;
        }
        if (opens && place_ != Place::files) {
            skipDepth_ = 1; // a value nobody reads: its insides are passed over
        }
        return true;
    }

    void responseMember(Kind kind) {
        if (key_ == "ok") {
            if (kind == Kind::null) {
                ok_.reset();
            } else if (kind != Kind::boolean) {
                wrongType("a boolean", kind);
            } else {
                ok_ = flag_;
            }
        } else if (key_ == "files") {
            if (kind == Kind::null) {
                response_.files.reset();
            } else if (kind != Kind::array) {
                wrongType("an array", kind);
            } else {
                response_.files.emplace().reserve(expectedFiles_);
                place_ = Place::files;
            }
        } else if (key_ == "id") {
            response_.id = optionalText(kind);
        } else if (key_ == "path") {
            response_.path = optionalText(kind);
        } else if (key_ == "patch") {
            response_.patch = optionalText(kind);
        } else if (key_ == "error") {
            response_.error = optionalText(kind);
        }
    }

    void fileMember(Kind kind) {
        if (key_ == "path") {
            file_.path = optionalText(kind);
        } else if (key_ == "added") {
            file_.added = optionalInteger(kind);
        } else if (key_ == "removed") {
            file_.removed = optionalInteger(kind);
        } else if (key_ == "patch") {
            file_.patch = optionalText(kind);
        } else if (key_ == "status") {
            auto text = optionalText(kind);
            file_.status =
                text && text->size() == 1 &&
                        std::string_view("AMDB").find((*text)[0]) != std::string_view::npos
                    ? (*text)[0]
                    : 'M';
        }
    }

    bool end() {
        if (skipDepth_ > 0) {
            --skipDepth_;
            return true;
        }
        if (place_ == Place::file) {
            for (auto [present, name] : {std::pair{file_.path.has_value(), "path"},
                                         std::pair{file_.added.has_value(), "added"},
                                         std::pair{file_.removed.has_value(), "removed"}}) {
                if (!present) {
                    fail(std::string("missing \"") + name + "\"");
                }
            }
            response_.files->push_back(
                FileDiff{std::move(*file_.path), *file_.added, *file_.removed,
                         std::move(file_.patch).value_or(std::string()), file_.status});
            place_ = Place::files;
        } else if (place_ == Place::files) {
            place_ = Place::response;
        }
        return true;
    }

    struct PartialFile {
        std::optional<std::string> path;
        std::optional<std::int64_t> added;
        std::optional<std::int64_t> removed;
        std::optional<std::string> patch;
        char status = 'M';
    };

    size_t expectedFiles_;
    DiffHelperResponse response_;
    std::optional<bool> ok_;
    Place place_ = Place::outside;
    int skipDepth_ = 0;
    std::string key_;
    bool flag_ = false;
    std::int64_t integer_ = 0;
    string_t* text_ = nullptr;
    PartialFile file_;
};

} // namespace

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
    request.worktreePath = optionalPathString(object, "worktreePath");
    request.base = optionalPathString(object, "base");
    request.path = optionalPathString(object, "path");
    return request;
}

DiffHelperResponse decodeResponse(std::string_view bytes) {
    refuseNULBytes(bytes);
    ResponseReader reader(bytes);
    try {
        json::sax_parse(bytes.begin(), bytes.end(), &reader);
    } catch (const json::exception& e) {
        fail("not valid JSON: " + withoutExceptionTag(e.what()));
    }
    return reader.finish();
}

void appendFile(std::string& out, std::string_view path, std::int64_t added, std::int64_t removed,
                std::string_view patch, char status) {
    ObjectWriter object(out);
    object.key("added");
    writeInteger(out, added);
    if (!patch.empty()) {
        object.key("patch");
        writeString(out, patch);
    }
    object.key("path");
    writeString(out, path);
    object.key("removed");
    writeInteger(out, removed);
    // Most files are modified: only the others say so, which keeps long listings short.
    if (status != 'M') {
        object.key("status");
        out += '"';
        out += status;
        out += '"';
    }
    object.close();
}

} // namespace DiffHelperCoding

// The line is built in place (no copy to add the line feed, no JSON tree): a patch answer can
// be half a megabyte, and each copy of it costs page faults as well as time.
std::string DiffHelperRequest::encodedLine() const {
    std::string line;
    DiffHelperCoding::ObjectWriter object(line);
    object.string("base", base);
    object.string("id", id);
    object.string("op", std::string(wireValue(op)));
    object.string("path", path);
    object.string("worktreePath", worktreePath);
    object.close();
    line += '\n';
    return line;
}

std::string DiffHelperResponse::encodedLine() const {
    std::string line;
    DiffHelperCoding::ObjectWriter object(line);
    object.string("error", error);
    if (files) {
        object.key("files");
        line += '[';
        for (size_t i = 0; i < files->size(); ++i) {
            if (i > 0) {
                line += ',';
            }
            const FileDiff& file = (*files)[i];
            DiffHelperCoding::appendFile(line, file.path, file.added, file.removed, file.patch,
                                         file.status);
        }
        line += ']';
    }
    object.string("id", id);
    object.key("ok");
    line += ok ? "true" : "false";
    object.string("patch", patch);
    object.string("path", path);
    object.close();
    line += '\n';
    return line;
}

} // namespace OrvexCore
