#include "OrvexCore/External/CommandError.hpp"

#include <utility>

namespace OrvexCore {

CommandError::CommandError(std::string executable, std::int32_t exitCode)
    : executable(std::move(executable)), exitCode(exitCode) {
    description_ = exitCode == -1
                       ? this->executable + " is outside the allowed program folders"
                       : this->executable + " exited with status " + std::to_string(exitCode);
}

} // namespace OrvexCore
