#include "OrvexCore/Terminal/TerminalLaunch.hpp"

#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::TerminalLaunch {

Plan resolve(std::optional<std::string> userCommand, std::string shell) {
    Plan plan{std::move(shell), std::nullopt};
    if (userCommand) {
        const std::string_view trimmed = Text::trimmed(*userCommand);
        if (!trimmed.empty()) {
            plan.initialInput = std::string(trimmed) + "\n";
        }
    }
    return plan;
}

} // namespace OrvexCore::TerminalLaunch
