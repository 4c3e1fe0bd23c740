#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "OrvexCore/Git/FileDiff.hpp"

/// The messages exchanged with the diff helper program: one compact JSON object per line on
/// the helper's standard input (requests) and standard output (responses). Both sides encode
/// and decode through the functions below, so the two ends always agree on the format.
namespace OrvexCore {

/// What a request asks the helper to do. The wire values are "list", "patch" and "shutdown",
/// matched exactly (case-sensitive).
enum class DiffHelperOp {
    list,
    patch,
    shutdown,
};

/// The wire value of `op`.
std::string_view wireValue(DiffHelperOp op);

/// The operation named by `wire`, or nothing for any other text.
std::optional<DiffHelperOp> diffHelperOpFromWire(std::string_view wire);

/// Thrown when bytes are not a valid message; `what()` says what is wrong.
class DiffHelperDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Thrown when a message cannot be encoded (text that is not valid UTF-8).
class DiffHelperEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One request, application to helper.
struct DiffHelperRequest {
    /// Echoed by the helper; not used to pair answers with requests (that is by order).
    std::optional<std::string> id;
    DiffHelperOp op = DiffHelperOp::list;
    /// Absolute path of the worktree to diff.
    std::optional<std::string> worktreePath;
    /// The ref to compare against.
    std::optional<std::string> base;
    /// A file path relative to the worktree (patch requests).
    std::optional<std::string> path;

    /// The encoded request followed by one line feed. Throws `DiffHelperEncodingError` when
    /// a string is not valid UTF-8.
    std::string encodedLine() const;

    friend bool operator==(const DiffHelperRequest&, const DiffHelperRequest&) = default;
};

/// One response, helper to application.
struct DiffHelperResponse {
    /// The request's id; absent in failure responses for undecodable lines and git failures.
    std::optional<std::string> id;
    bool ok = false;
    /// The changed files of a list request (an empty list is written as an empty array).
    std::optional<std::vector<FileDiff>> files;
    /// The request's path, echoed by a successful patch response.
    std::optional<std::string> path;
    std::optional<std::string> patch;
    /// Human-readable failure text.
    std::optional<std::string> error;

    /// The encoded response followed by one line feed. Throws `DiffHelperEncodingError` when
    /// a string is not valid UTF-8.
    std::string encodedLine() const;

    friend bool operator==(const DiffHelperResponse&, const DiffHelperResponse&) = default;
};

/// The shared encoder and decoder. Encoding writes compact JSON with the keys of every object
/// sorted, every "/" written as "\/" and absent optionals left out; decoding accepts either
/// form of "/", treats a null value like a missing key and ignores keys it does not know.
namespace DiffHelperCoding {

/// Appends one changed file as a JSON object: "added", "path", "removed", "status" (one
/// letter, `FileDiff::status`) only when it is not 'M', and "patch" only when it is not empty
/// (list answers carry no patches). Throws `DiffHelperEncodingError` when a string is not valid
/// UTF-8.
void appendFile(std::string& out, std::string_view path, std::int64_t added, std::int64_t removed,
                std::string_view patch, char status = 'M');

/// Decodes one message (the bytes of a line without its line feed). Throws
/// `DiffHelperDecodingError` when the bytes are not JSON (a raw NUL byte anywhere included),
/// not an object, lack a required key, carry a value of the wrong type or an unknown op, or
/// when a request's "worktreePath", "base" or "path" holds a NUL character. A response is
/// decoded from the parser's events, without a JSON tree; in its files "patch" is optional
/// (absent means empty), and so is "status" (absent, or not one of A, M, D, B, means M).
DiffHelperRequest decodeRequest(std::string_view bytes);
DiffHelperResponse decodeResponse(std::string_view bytes);

} // namespace DiffHelperCoding

} // namespace OrvexCore
