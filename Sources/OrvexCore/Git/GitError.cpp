#include "OrvexCore/Git/GitError.hpp"

#include <utility>

#include <fmt/format.h>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {

GitError::GitError(std::string command, int exitCode, std::string message)
    : command(std::move(command)), exitCode(exitCode), message(std::move(message)) {
    // git ends its messages with a line feed; the description is one sentence without it.
    auto said = Text::trimmed(this->message);
    if (this->exitCode == -1) {
        description_ = fmt::format("{}: {}", this->command, said);
    } else {
        description_ =
            fmt::format("`{}` failed with exit status {}: {}", this->command, this->exitCode, said);
    }
}

} // namespace OrvexCore
