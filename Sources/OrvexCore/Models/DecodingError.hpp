#pragma once

#include <stdexcept>
#include <string>

namespace OrvexCore {

/// A stored JSON document that does not have the expected form: not JSON at all, a missing
/// required key, a value of the wrong type, an unknown status, a malformed identifier.
/// `what()` names where the fault lies ("sessions[2].gridRows: expected an integer, found a
/// string"), prefixed with the file when it came from one.
class DecodingError : public std::runtime_error {
public:
    /// `codingPath` is the key path of the offending value, empty for the document itself.
    DecodingError(std::string codingPath, std::string reason);

    const std::string& codingPath() const { return codingPath_; }
    const std::string& reason() const { return reason_; }
    /// The file the document was read from, empty when it did not come from a file.
    const std::string& file() const { return file_; }

    /// The same error seen from the enclosing value: `component` is a key or "[index]".
    DecodingError nested(const std::string& component) const;
    /// The same error, naming the file the document came from.
    DecodingError inFile(const std::string& file) const;

private:
    DecodingError(std::string codingPath, std::string reason, std::string file);

    std::string codingPath_;
    std::string reason_;
    std::string file_;
};

} // namespace OrvexCore
