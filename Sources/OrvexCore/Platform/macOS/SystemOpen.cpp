#include "OrvexCore/Platform/SystemOpen.hpp"

namespace OrvexCore::Platform {

std::vector<std::string> systemOpenArguments(std::string_view appName, std::string_view path) {
    return {"open", "-a", std::string(appName), std::string(path)};
}

} // namespace OrvexCore::Platform
