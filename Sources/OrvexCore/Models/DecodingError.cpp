#include "OrvexCore/Models/DecodingError.hpp"

#include <utility>

namespace OrvexCore {
namespace {

std::string describe(const std::string& codingPath, const std::string& reason,
                     const std::string& file) {
    std::string text;
    if (!file.empty()) {
        text = "Cannot load " + file + ": ";
    }
    if (!codingPath.empty()) {
        text += codingPath + ": ";
    }
    return text + reason;
}

} // namespace

DecodingError::DecodingError(std::string codingPath, std::string reason)
    : DecodingError(std::move(codingPath), std::move(reason), std::string()) {}

DecodingError::DecodingError(std::string codingPath, std::string reason, std::string file)
    : std::runtime_error(describe(codingPath, reason, file)), codingPath_(std::move(codingPath)),
      reason_(std::move(reason)), file_(std::move(file)) {}

DecodingError DecodingError::nested(const std::string& component) const {
    std::string path = component;
    if (!codingPath_.empty()) {
        if (codingPath_.front() != '[') {
            path += '.';
        }
        path += codingPath_;
    }
    return DecodingError(std::move(path), reason_, file_);
}

DecodingError DecodingError::inFile(const std::string& file) const {
    return DecodingError(codingPath_, reason_, file);
}

} // namespace OrvexCore
